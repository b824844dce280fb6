// The shell-link object behind CLSID_ShellLink: IShellLinkA for its target and description,
// IPersistFile to save it as a .lnk file, one reference count for both.
#pragma once

#include <atomic>
#include <string>

#include "platform/shell/shlobj.h"

namespace platform::shell {

class ShellLink final : public IShellLinkA, public IPersistFile {
 public:
  ShellLink();
  ShellLink(const ShellLink&) = delete;
  ShellLink& operator=(const ShellLink&) = delete;

  HRESULT QueryInterface(REFIID iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT SetDescription(LPCSTR description) override;
  HRESULT SetPath(LPCSTR file) override;

  HRESULT Save(LPCOLESTR fileName, BOOL remember) override;

 private:
  ~ShellLink();

  std::atomic<ULONG> references_{1};
  std::string path_;
  std::string description_;
  std::u16string currentFile_;
};

// A new shell link handed out as `iid`, the way CoCreateInstance does.
HRESULT CreateShellLink(REFIID iid, void** object);

}  // namespace platform::shell
