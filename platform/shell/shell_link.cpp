#include "platform/shell/shell_link.h"

#include <sys/stat.h>

#include <cstring>
#include <new>
#include <vector>

#include "platform/shell/code_page.h"
#include "platform/shell/host_files.h"
#include "platform/shell/link_file.h"
#include "platform/shell/shell_state.h"
#include "platform/win32/files.h"

namespace platform::shell {
namespace {

std::atomic<std::size_t> gLiveLinks{0};

// The target's attributes, times and size as the header records them; zero when the target is
// not there (a link may be made before its target).
TargetFacts FactsOf(const std::string& path) {
  TargetFacts facts;
  struct stat info {};
  if (path.empty() || ::stat(win32::HostPath(path.c_str()).c_str(), &info) != 0) return facts;
  facts.attributes = AttributesOf(info);
  facts.creation = FileTimeOf(info.st_mtim);  // the host keeps no creation time here
  facts.access = FileTimeOf(info.st_atim);
  facts.write = FileTimeOf(info.st_mtim);
  facts.size = S_ISDIR(info.st_mode) ? 0 : static_cast<DWORD>(info.st_size);
  return facts;
}

HRESULT LastError() {
  const DWORD error = GetLastError();
  return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

// Replaces the file's contents in place (the file keeps its identity when it existed).
HRESULT WriteLinkFile(const std::string& path, const std::vector<BYTE>& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastError();
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  const HRESULT result = ok && written == bytes.size() ? S_OK : LastError();
  CloseHandle(file);
  return result;
}

}  // namespace

ShellLink::ShellLink() {
  ++gLiveLinks;
}

ShellLink::~ShellLink() {
  --gLiveLinks;
}

HRESULT ShellLink::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IShellLinkA) {
    *object = static_cast<IShellLinkA*>(this);
  } else if (iid == IID_IPersistFile) {
    *object = static_cast<IPersistFile*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG ShellLink::AddRef() {
  return ++references_;
}

ULONG ShellLink::Release() {
  const ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

HRESULT ShellLink::SetDescription(LPCSTR description) {
  if (description == nullptr || std::strlen(description) >= INFOTIPSIZE) return E_INVALIDARG;
  description_ = description;
  return S_OK;
}

HRESULT ShellLink::SetPath(LPCSTR file) {
  if (file == nullptr || std::strlen(file) >= MAX_PATH) return E_INVALIDARG;
  path_ = file;
  return S_OK;
}

HRESULT ShellLink::Save(LPCOLESTR fileName, BOOL remember) {
  if (fileName == nullptr && currentFile_.empty()) return E_INVALIDARG;
  const std::u16string name = fileName != nullptr ? std::u16string(fileName) : currentFile_;
  if (name.empty()) return E_INVALIDARG;
  const LinkContents contents{path_, FactsOf(path_), AnsiToWide(description_)};
  const HRESULT result = WriteLinkFile(WideToAnsi(name), EncodeShellLink(contents));
  if (SUCCEEDED(result) && remember) currentFile_ = name;
  return result;
}

HRESULT CreateShellLink(REFIID iid, void** object) {
  auto* link = new (std::nothrow) ShellLink;
  if (link == nullptr) return E_OUTOFMEMORY;
  const HRESULT result = link->QueryInterface(iid, object);
  link->Release();  // the caller's reference is the one QueryInterface took, if any
  return result;
}

std::size_t LiveShellLinks() {
  return gLiveLinks;
}

}  // namespace platform::shell
