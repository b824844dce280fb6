# Cross-compiles the user-mode programs for 64-bit Windows with mingw-w64 (./dev windows). The
# posix-threads variant of the compiler carries std::thread; everything is linked statically,
# so that each .exe needs nothing beside the system's own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MDM_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER ${MDM_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MDM_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MDM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
