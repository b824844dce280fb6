# cmake -DMDM_SOURCE_DIR=<tree> -P no_relative_includes.cmake
# Fails when a source of platform/, sim/, updater/, driver/ or links/ includes by a path through
# ".." or by an absolute path: either would reach a layer past the include folders the build
# gives its layer.
set(offenders "")
foreach(layer platform sim updater driver links)
  file(GLOB_RECURSE sources ${MDM_SOURCE_DIR}/${layer}/*.h ${MDM_SOURCE_DIR}/${layer}/*.cpp
       ${MDM_SOURCE_DIR}/${layer}/*.inc ${MDM_SOURCE_DIR}/${layer}/*.rc)
  foreach(source IN LISTS sources)
    file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include")
    foreach(include IN LISTS includes)
      if(include MATCHES "[\"<](/|[^\">]*\\.\\./)")
        file(RELATIVE_PATH name ${MDM_SOURCE_DIR} ${source})
        string(APPEND offenders "\n  ${name}: ${include}")
      endif()
    endforeach()
  endforeach()
endforeach()
if(offenders)
  message(FATAL_ERROR "includes that get around the layers:${offenders}")
endif()
