#include "platform/win32/comm_device.h"

#include <cctype>
#include <fstream>
#include <map>
#include <mutex>

#include "platform/win32/debug.h"

namespace platform::win32 {
namespace {

struct Keeper {
  std::mutex mutex;
  std::map<std::string, KeptSettings> ports;
};

Keeper& TheKeeper() {
  static Keeper keeper;
  return keeper;
}

}  // namespace

std::optional<KeptSettings> RecallSettings(const std::string& link) {
  std::lock_guard lock(TheKeeper().mutex);
  auto it = TheKeeper().ports.find(link);
  if (it == TheKeeper().ports.end()) return std::nullopt;
  return it->second;
}

void KeepSettings(const std::string& link, const KeptSettings& kept) {
  std::lock_guard lock(TheKeeper().mutex);
  TheKeeper().ports[link] = kept;
}

std::optional<DWORD> DeclaredLines(const std::string& declaration) {
  std::ifstream file(declaration);
  if (!file) return std::nullopt;
  DWORD status = 0;
  std::string word;
  while (file >> word) {
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (word == "cts") {
      status |= MS_CTS_ON;
    } else if (word == "dsr") {
      status |= MS_DSR_ON;
    } else if (word == "ring") {
      status |= MS_RING_ON;
    } else if (word == "dcd") {
      status |= MS_RLSD_ON;
    } else {
      std::string text = declaration + ": no modem line \"" + word + "\"; the file is ignored\n";
      debug::Sink().Deliver(text.c_str());
      return std::nullopt;
    }
  }
  return status;
}

}  // namespace platform::win32
