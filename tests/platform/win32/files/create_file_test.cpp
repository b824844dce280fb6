// CreateFileA's dispositions and errors, and reading and writing through file handles. Win32
// only: the Windows build runs it under Wine too (tests/wine).
#include <filesystem>
#include <string>

#include "tests/platform/win32/files/temp_folder.h"

namespace files_test {
namespace {

HANDLE Open(const std::string& path, DWORD disposition, DWORD access = GENERIC_READ) {
  return CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Opens, checks the last error of the success, and closes.
void ExpectOpens(const std::string& path, DWORD disposition, DWORD lastError,
                 DWORD access = GENERIC_WRITE) {
  HANDLE file = Open(path, disposition, access);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path << " disposition " << disposition;
  EXPECT_EQ(GetLastError(), lastError) << path << " disposition " << disposition;
  CloseHandle(file);
}

void ExpectRefused(const std::string& path, DWORD disposition, DWORD error,
                   DWORD access = GENERIC_WRITE) {
  EXPECT_EQ(Open(path, disposition, access), INVALID_HANDLE_VALUE) << path;
  EXPECT_EQ(GetLastError(), error) << path << " disposition " << disposition;
}

using CreateFileTest = TempFolderTest;

TEST_F(CreateFileTest, DispositionsOnExistingAndMissingFiles) {
  ExpectOpens(Path("a"), CREATE_NEW, ERROR_SUCCESS);
  ExpectOpens(Path("b"), CREATE_ALWAYS, ERROR_SUCCESS);
  ExpectOpens(Path("c"), OPEN_ALWAYS, ERROR_SUCCESS);
  ExpectRefused(Path("d"), OPEN_EXISTING, ERROR_FILE_NOT_FOUND);
  ExpectRefused(Path("d"), TRUNCATE_EXISTING, ERROR_FILE_NOT_FOUND);

  WriteHostFile("a", "kept");
  ExpectRefused(Path("a"), CREATE_NEW, ERROR_FILE_EXISTS);
  ExpectOpens(Path("a"), OPEN_ALWAYS, ERROR_ALREADY_EXISTS);
  ExpectOpens(Path("a"), OPEN_EXISTING, ERROR_SUCCESS);
  EXPECT_EQ(ReadHostFile("a"), "kept");
  ExpectOpens(Path("a"), CREATE_ALWAYS, ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadHostFile("a"), "");
  WriteHostFile("a", "kept");
  ExpectOpens(Path("a"), TRUNCATE_EXISTING, ERROR_SUCCESS);
  EXPECT_EQ(ReadHostFile("a"), "");
  // Wine truncates for a handle without GENERIC_WRITE, which the platform requires.
  if (!UnderWine())
    ExpectRefused(Path("a"), TRUNCATE_EXISTING, ERROR_INVALID_PARAMETER, GENERIC_READ);
}

TEST_F(CreateFileTest, MissingFolderReadOnlyFileAndFolderAreRefused) {
  ExpectRefused(Path("no-folder/f"), OPEN_EXISTING, ERROR_PATH_NOT_FOUND);
  ExpectRefused(Path("no-folder/f"), CREATE_ALWAYS, ERROR_PATH_NOT_FOUND);

  std::filesystem::create_directory(Path("sub"));
  ExpectRefused(Path("sub"), OPEN_EXISTING, ERROR_ACCESS_DENIED, GENERIC_READ);

  // Wine keeps the read-only attribute in the file's Unix mode, which root (these runs) passes.
  if (UnderWine()) GTEST_SKIP() << "Wine run by root writes read-only files";
  WriteHostFile("locked", "keep me");
  std::filesystem::permissions(Path("locked"), std::filesystem::perms::owner_read);
  ExpectRefused(Path("locked"), OPEN_EXISTING, ERROR_ACCESS_DENIED);
  ExpectRefused(Path("locked"), CREATE_ALWAYS, ERROR_ACCESS_DENIED, GENERIC_READ);
  EXPECT_EQ(ReadHostFile("locked"), "keep me");
  ExpectOpens(Path("locked"), OPEN_EXISTING, ERROR_SUCCESS, GENERIC_READ);
}

TEST_F(CreateFileTest, BackslashesSeparateFolders) {
  std::filesystem::create_directory(Path("Windows"));
  WriteHostFile("Windows/setup.log", "x");
  ExpectOpens(folder_.string() + "\\Windows\\setup.log", OPEN_EXISTING, ERROR_SUCCESS);
}

TEST_F(CreateFileTest, WrittenBytesReadBackInOrder) {
  HANDLE file = Open(Path("io"), CREATE_NEW, GENERIC_READ | GENERIC_WRITE);
  DWORD done = 0;
  EXPECT_TRUE(WriteFile(file, "abc", 3, &done, nullptr));
  EXPECT_TRUE(WriteFile(file, "defg", 4, &done, nullptr));
  DWORD high = 99;
  EXPECT_EQ(GetFileSize(file, &high), 7u);
  EXPECT_EQ(high, 0u);
  CloseHandle(file);

  file = Open(Path("io"), OPEN_EXISTING);
  char buffer[16] = {};
  EXPECT_TRUE(ReadFile(file, buffer, 5, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "abcde");
  // An OVERLAPPED with a file handle: read at its offset, done on return, event set.
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED overlapped{};
  overlapped.Offset = 4;
  overlapped.hEvent = event;
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, nullptr, &overlapped));
  EXPECT_EQ(overlapped.InternalHigh, 3u);
  EXPECT_EQ(std::string(buffer, 3), "efg");
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));  // at the end: success
  EXPECT_EQ(done, 0u);
  EXPECT_FALSE(WriteFile(file, "x", 1, &done, nullptr));  // opened for reading only
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  // A handle that is neither a file nor a COM port.
  EXPECT_FALSE(ReadFile(event, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(event);
  CloseHandle(file);
}

}  // namespace
}  // namespace files_test
