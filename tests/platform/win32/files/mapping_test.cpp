// Read-only mappings of whole files. Win32 only: the Windows build runs it under Wine too.
#include <cstring>
#include <string>

#include "tests/platform/win32/files/mapping.h"

namespace files_test {
namespace {

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
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
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
