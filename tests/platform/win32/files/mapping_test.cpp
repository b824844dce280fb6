// Read-only mappings of whole files.
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/platform/win32/files/temp_folder.h"

namespace files_test {
namespace {

class MappingTest : public TempFolderTest {
 protected:
  HANDLE OpenFile(const std::string& name, DWORD access = GENERIC_READ) {
    return CreateFileA(Path(name).c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
};

TEST_F(MappingTest, ViewShowsTheFileAndOutlivesBothHandles) {
  std::string image(10000, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + 3);
  WriteHostFile("firmware.bin", image);

  HANDLE file = OpenFile("firmware.bin");
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  ASSERT_NE(mapping, nullptr);
  const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  ASSERT_NE(view, nullptr);
  CloseHandle(mapping);
  CloseHandle(file);

  EXPECT_EQ(std::memcmp(view, image.data(), image.size()), 0);
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_FALSE(UnmapViewOfFile(view));  // already gone
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// Another program of this host may shrink a mapped file, which the platform refuses: the view
// keeps the bytes the file held when it was mapped, and a file that shrank before it was mapped
// gives no view.
TEST_F(MappingTest, ViewKeepsItsBytesWhenAnotherProgramShrinksTheFile) {
  const std::string image(100000, 'I');
  WriteHostFile("firmware.bin", image);
  HANDLE file = OpenFile("firmware.bin");
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  ASSERT_NE(view, nullptr);
  ASSERT_EQ(::truncate(Path("firmware.bin").c_str(), 1000), 0);
  EXPECT_EQ(std::memcmp(view, image.data(), image.size()), 0);
  EXPECT_TRUE(UnmapViewOfFile(view));

  ASSERT_EQ(::truncate(Path("firmware.bin").c_str(), 0), 0);
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
  CloseHandle(mapping);
  CloseHandle(file);
}

TEST_F(MappingTest, EmptyFileWriteOnlyHandleAndWritingAreRefused) {
  WriteHostFile("empty.bin", "");
  HANDLE file = OpenFile("empty.bin");
  EXPECT_EQ(CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_INVALID);
  CloseHandle(file);

  WriteHostFile("data.bin", "data");
  file = OpenFile("data.bin", GENERIC_WRITE);
  EXPECT_EQ(CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(file);

  file = OpenFile("data.bin");
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(mapping);
  CloseHandle(file);
}

}  // namespace
}  // namespace files_test
