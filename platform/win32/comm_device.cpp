#include "platform/win32/comm_device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

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

// A declaration is a few words; a larger file is no declaration.
constexpr std::size_t kMaxDeclaration = 256;

void Report(const std::string& declaration, const std::string& why) {
  std::string text = declaration + ": " + why + "; the file is ignored\n";
  debug::Sink().Deliver(text.c_str());
}

// The declaration's text, read as the registry file is read: only a regular file, opened without
// blocking (a FIFO would hold the open for ever), and at most kMaxDeclaration bytes of it (a
// device or a huge file would fill the memory). Nothing when there is no such file.
std::optional<std::string> ReadDeclaration(const std::string& declaration, DWORD* refused) {
  int fd = ::open(declaration.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) Report(declaration, std::strerror(errno));
    if (refused != nullptr && (errno == EMFILE || errno == ENFILE)) {
      *refused = ERROR_TOO_MANY_OPEN_FILES;
    }
    if (refused != nullptr && errno == ENOMEM) *refused = ERROR_NOT_ENOUGH_MEMORY;
    return std::nullopt;
  }
  struct stat info {};
  std::string text(kMaxDeclaration + 1, '\0');
  ssize_t got = -1;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    Report(declaration, "not a regular file");
  } else if (info.st_size > static_cast<off_t>(kMaxDeclaration)) {
    Report(declaration, "longer than " + std::to_string(kMaxDeclaration) + " bytes");
  } else if ((got = ::read(fd, text.data(), text.size())) < 0) {
    Report(declaration, std::strerror(errno));
  }
  ::close(fd);
  // A file that grew since fstat is still held to the bound.
  if (got < 0 || static_cast<std::size_t>(got) > kMaxDeclaration) return std::nullopt;
  text.resize(static_cast<std::size_t>(got));
  return text;
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

std::optional<DWORD> DeclaredLines(const std::string& declaration, DWORD* refused) {
  std::optional<std::string> text = ReadDeclaration(declaration, refused);
  if (!text) return std::nullopt;
  std::istringstream file(*text);
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
      Report(declaration, "no modem line \"" + word + "\"");
      return std::nullopt;
    }
  }
  return status;
}

}  // namespace platform::win32
