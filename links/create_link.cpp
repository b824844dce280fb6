#include "links/links.h"
#include "platform/shell/winnls.h"

namespace mdmlinks {
namespace {

// Hands the link object to the persist interface and saves it under the link path, widened as
// the interface wants it.
HRESULT SaveLink(IShellLinkA* shellLink, LPCSTR link) {
  IPersistFile* persistFile = nullptr;
  HRESULT result =
      shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persistFile));
  if (FAILED(result)) {
    OutputDebugStringA("QueryInterface failed\n");
    return result;
  }
  WCHAR wideLink[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, link, -1, wideLink, MAX_PATH) == 0) {
    // Saving a half-converted name would put the shortcut somewhere else.
    result = HRESULT_FROM_WIN32(GetLastError());
  } else {
    result = persistFile->Save(wideLink, TRUE);
  }
  persistFile->Release();
  return result;
}

}  // namespace

HRESULT CreateLink(LPCSTR target, LPCSTR link, LPCSTR description) {
  IShellLinkA* shellLink = nullptr;
  HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                    reinterpret_cast<void**>(&shellLink));
  if (FAILED(result)) {
    OutputDebugStringA("CoCreateInstance() failed\n");
    return result;
  }
  shellLink->SetPath(target);
  shellLink->SetDescription(description);
  result = SaveLink(shellLink, link);
  shellLink->Release();
  return result;
}

}  // namespace mdmlinks
