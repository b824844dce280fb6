// The fixture of the mapping tests: files in a fresh folder, opened for mapping.
#pragma once

#include <string>

#include "tests/platform/win32/files/temp_folder.h"

namespace files_test {

class MappingTest : public TempFolderTest {
 protected:
  HANDLE OpenFile(const std::string& name, DWORD access = GENERIC_READ) {
    return CreateFileA(Path(name).c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
};

}  // namespace files_test
