// A mapped file that another program of this host shrinks: the stand-in's own concern, since
// the platform refuses to shrink a mapped file.
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/platform/win32/files/mapping.h"

namespace files_test {
namespace {

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

}  // namespace
}  // namespace files_test
