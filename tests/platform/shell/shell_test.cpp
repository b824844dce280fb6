// The shell and COM stand-in: object lifetime, the saved .lnk bytes, code-page round trips,
// special folders, file search and the folder calls with the platform's errors.
#include <fstream>
#include <set>

#include "platform/shell/fileapi.h"
#include "platform/shell/shlobj.h"
#include "platform/shell/winnls.h"
#include "tests/links/links_fixture.h"

namespace links_test {
namespace {

namespace fs = std::filesystem;

class ShellTest : public LinksTest {
 protected:
  void SetUp() override {
    LinksTest::SetUp();
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
  }
  void TearDown() override {
    CoUninitialize();
    LinksTest::TearDown();
  }
  // Saves a link to `target` with `description` at the 8-bit platform path `file`.
  HRESULT SaveLink(const char* target, const char* description, const std::string& file) {
    IShellLinkA* link = nullptr;
    IPersistFile* persist = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                               reinterpret_cast<void**>(&link)),
              S_OK);
    if (target != nullptr) link->SetPath(target);
    if (description != nullptr) link->SetDescription(description);
    EXPECT_EQ(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)), S_OK);
    WCHAR wide[MAX_PATH];
    EXPECT_GT(MultiByteToWideChar(CP_ACP, 0, file.c_str(), -1, wide, MAX_PATH), 0);
    const HRESULT result = persist->Save(wide, TRUE);
    EXPECT_EQ(persist->Release(), 1u);
    EXPECT_EQ(link->Release(), 0u);
    return result;
  }
};

TEST_F(ShellTest, ObjectsLiveUntilTheirLastReleaseAndRefuseWhatTheyAreNot) {
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(
      CoCreateInstance(IID_IPersistFile, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, &object),
      REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(
      CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IPersistFile, &object),
      S_OK);
  EXPECT_EQ(platform::shell::LiveShellLinks(), 1u);
  auto* persist = static_cast<IPersistFile*>(object);
  void* other = nullptr;
  EXPECT_EQ(persist->QueryInterface(CLSID_ShellLink, &other), E_NOINTERFACE);
  EXPECT_EQ(persist->QueryInterface(IID_IShellLinkA, &other), S_OK);
  EXPECT_EQ(persist->Release(), 1u);
  EXPECT_EQ(platform::shell::LiveShellLinks(), 1u);
  EXPECT_EQ(static_cast<IShellLinkA*>(other)->Release(), 0u);
  EXPECT_EQ(platform::shell::LiveShellLinks(), 0u);
  EXPECT_EQ(CoInitialize(nullptr), S_FALSE);  // nested: the fixture's stays in force
  CoUninitialize();
}

TEST_F(ShellTest, SavedLinkCarriesTargetFactsAndOnlyThePartsItHas) {
  fs::create_directory(root_ / "Windows");
  std::ofstream(root_ / "Windows" / "MDMFLASH.EXE", std::ios::binary) << std::string(1234, 'm');
  const std::string target = Platform(root_ / "Windows" / "MDMFLASH.EXE");
  ASSERT_EQ(SaveLink(target.c_str(), "USB Modem Update", Platform(root_ / "a.lnk")), S_OK);
  LinkFile link = Decode(root_ / "a.lnk");
  EXPECT_EQ(link.flags, 0x86u);  // link info, description, Unicode strings
  EXPECT_EQ(link.target, target);
  EXPECT_EQ(link.description, Wide("USB Modem Update"));
  EXPECT_EQ(link.fileSize, 1234u);
  EXPECT_EQ(link.attributes, FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(link.driveType, 3u);
  EXPECT_EQ(link.showCommand, 1u);

  ASSERT_EQ(SaveLink("C:\\NOWHERE.EXE", nullptr, Platform(root_ / "b.lnk")), S_OK);
  link = Decode(root_ / "b.lnk");
  EXPECT_EQ(link.target, "C:\\NOWHERE.EXE");
  EXPECT_FALSE(link.description);
  EXPECT_EQ(link.fileSize, 0u);

  EXPECT_EQ(SaveLink("C:\\A.EXE", "A", Platform(root_ / "no" / "c.lnk")),
            HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
}

TEST_F(ShellTest, AnyHostNameSurvivesTheWideSavePath) {
  // "café" in UTF-8 and a stray byte that is no UTF-8 at all.
  const std::string name = "caf\xC3\xA9 \xE9.lnk";
  ASSERT_EQ(SaveLink("C:\\A.EXE", "caf\xC3\xA9", Platform(root_) + "\\" + name), S_OK);
  EXPECT_TRUE(fs::exists(root_ / name));
  EXPECT_EQ(Decode(root_ / name).description, u"caf\u00E9");

  WCHAR wide[4];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "caf\xC3\xA9", -1, nullptr, 0), 5);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "caf\xC3\xA9", -1, wide, 4), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(ShellTest, SpecialFoldersLieInThePlatformRoot) {
  LPITEMIDLIST list = nullptr;
  EXPECT_EQ(SHGetSpecialFolderLocation(nullptr, 0x0005, &list), E_INVALIDARG);
  ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_PROGRAMS, &list), S_OK);
  char path[MAX_PATH];
  EXPECT_TRUE(SHGetPathFromIDList(list, path));
  CoTaskMemFree(list);
  EXPECT_EQ(path, Platform(Programs()));
  EXPECT_TRUE(fs::is_directory(Programs()));

  const std::string windows = Platform(root_ / "Windows");
  char small[8] = "kept";
  EXPECT_EQ(GetWindowsDirectoryA(small, sizeof small), windows.size() + 1);
  EXPECT_STREQ(small, "kept");
  EXPECT_EQ(GetWindowsDirectoryA(path, MAX_PATH), windows.size());
  EXPECT_EQ(path, windows);

  UseRoot(root_ / std::string(250, 'r'));  // created, but its path does not fit
  ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_PROGRAMS, &list), S_OK);
  EXPECT_FALSE(SHGetPathFromIDList(list, path));
  EXPECT_STREQ(path, "");
  CoTaskMemFree(list);
}

TEST_F(ShellTest, SearchListsDotEntriesFirstAndMatchesLikeThePlatform) {
  const fs::path folder = root_ / "search";  // a folder of its own: the root holds files of ours
  fs::create_directory(folder);
  for (const char* name : {"b.TXT", "noext", ".hidden"}) std::ofstream(folder / name) << "12345";
  fs::create_directory(folder / "sub");
  const auto search = [&](const std::string& pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE handle = FindFirstFileA((Platform(folder) + pattern).c_str(), &data);
    if (handle == INVALID_HANDLE_VALUE) return names;
    do names.push_back(data.cFileName);
    while (FindNextFileA(handle, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(handle));
    return names;
  };
  EXPECT_EQ(search("\\*.*"),
            (std::vector<std::string>{".", "..", ".hidden", "b.TXT", "noext", "sub"}));
  EXPECT_EQ(search("\\?.txt"), std::vector<std::string>{"b.TXT"});
  EXPECT_TRUE(search("\\*.doc").empty());
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(search("\\missing\\*.*").empty());
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  WIN32_FIND_DATAA data;
  HANDLE handle = FindFirstFileA((Platform(folder) + "\\sub").c_str(), &data);
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(FindNextFileA(handle, &data));
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_FALSE(FindClose(event));  // not a search: refused, and it stays open
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_TRUE(FindClose(handle));
}

TEST_F(ShellTest, FolderCallsRefuseAsThePlatformDoes) {
  const std::string folder = Platform(root_ / "f");
  const std::string file = Platform(root_ / "f" / "x");
  const auto failsWith = [](BOOL result, DWORD error) {
    return result == FALSE && GetLastError() == error;
  };
  EXPECT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  EXPECT_TRUE(failsWith(CreateDirectoryA(folder.c_str(), nullptr), ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(
      failsWith(CreateDirectoryA((folder + "\\a\\b").c_str(), nullptr), ERROR_PATH_NOT_FOUND));
  std::ofstream(root_ / "f" / "x") << "x";
  EXPECT_TRUE(failsWith(RemoveDirectoryA(folder.c_str()), ERROR_DIR_NOT_EMPTY));
  EXPECT_TRUE(failsWith(RemoveDirectoryA(file.c_str()), ERROR_DIRECTORY));
  EXPECT_TRUE(failsWith(DeleteFileA(folder.c_str()), ERROR_ACCESS_DENIED));
  fs::permissions(root_ / "f" / "x", fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_TRUE(failsWith(DeleteFileA(file.c_str()), ERROR_ACCESS_DENIED));  // read-only
  fs::permissions(root_ / "f" / "x", fs::perms::owner_write, fs::perm_options::add);
  EXPECT_TRUE(DeleteFileA(file.c_str()));
  EXPECT_TRUE(failsWith(DeleteFileA(file.c_str()), ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(failsWith(DeleteFileA((folder + "\\no\\x").c_str()), ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(RemoveDirectoryA(folder.c_str()));
  EXPECT_TRUE(failsWith(RemoveDirectoryA(folder.c_str()), ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace links_test
