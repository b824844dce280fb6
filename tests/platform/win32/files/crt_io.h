// The fixture of the runtime's file calls: files in a fresh folder written through _open/_write.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <string>

#include "tests/platform/win32/files/temp_folder.h"

namespace files_test {

constexpr int kAppendFlags = _O_WRONLY | _O_APPEND | _O_CREAT;

class CrtIoTest : public TempFolderTest {
 protected:
  // Writes `text` through a descriptor opened with `flags`; returns _write's result.
  int WriteWith(const std::string& name, int flags, const std::string& text) {
    int fd = _open(Path(name).c_str(), flags, _S_IREAD | _S_IWRITE);
    EXPECT_GE(fd, 0) << name;
    int result = _write(fd, text.data(), static_cast<unsigned>(text.size()));
    EXPECT_EQ(_close(fd), 0);
    return result;
  }
};

}  // namespace files_test
