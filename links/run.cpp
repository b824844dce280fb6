#include "links/links.h"

namespace mdmlinks {

int RunLinks(LPCSTR commandLine) {
  const char first = commandLine != nullptr ? commandLine[0] : '\0';
  const HRESULT initialised = CoInitialize(nullptr);
  if (first == '\0') {
    CreateGroup();
  } else if (first == 'd') {
    RemoveGroup();
  }
  // Only a successful initialisation is undone; undoing a failed one would end another's.
  if (SUCCEEDED(initialised)) CoUninitialize();
  return 0;
}

}  // namespace mdmlinks
