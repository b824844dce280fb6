// COM initialisation per thread, object creation for the one class this host registers, and
// the task allocator.
#include <cstdlib>

#include "platform/clock/per_thread.h"
#include "platform/shell/shell_link.h"

namespace {

const platform::clock::PerThread<int> tInitialisations{0};

}  // namespace

HRESULT CoInitialize(LPVOID reserved) {
  if (reserved != nullptr) return E_INVALIDARG;
  return (*tInitialisations)++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
  if (*tInitialisations > 0) --*tInitialisations;
}

HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                         LPVOID* object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (*tInitialisations == 0) return CO_E_NOTINITIALIZED;
  if (clsid != CLSID_ShellLink || (context & CLSCTX_INPROC_SERVER) == 0) {
    return REGDB_E_CLASSNOTREG;
  }
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  return platform::shell::CreateShellLink(iid, object);
}

LPVOID CoTaskMemAlloc(SIZE_T bytes) {
  return std::malloc(bytes == 0 ? 1 : bytes);
}

void CoTaskMemFree(LPVOID memory) {
  std::free(memory);
}
