// Modem lines for pseudo-terminals, preloaded (LD_PRELOAD) into the programs that Wine runs. A
// pseudo-terminal has no modem lines, so Wine's serial code fails GetCommModemStatus and
// EscapeCommFunction on it and cannot wait for line events. This library answers the modem-line
// ioctls that Wine makes on a pseudo-terminal's slave from the lines its declaration names:
//
//   the folder MDM_LINES_FOLDER (a Linux path) holds links comN to pseudo-terminal slaves, with
//   comN.lines beside them holding words among cts, dsr, dcd and ring (in any case), as
//   `mdmsim serve` leaves them in its root's dosdevices folder.
//
// The declaration is read at every TIOCMGET, so that a test changes the lines while a program
// waits for them (Wine polls TIOCMGET for line events). DTR and RTS start on and follow what the
// program sets, per descriptor. A slave without a declaration, and every other descriptor and
// request, go to the real ioctl.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace {

using IoctlFunction = int (*)(int, unsigned long, ...);
using CloseFunction = int (*)(int);

IoctlFunction RealIoctl() {
  static const auto real = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
  return real;
}

CloseFunction RealClose() {
  static const auto real = reinterpret_cast<CloseFunction>(dlsym(RTLD_NEXT, "close"));
  return real;
}

// DTR and RTS as each descriptor's program last set them. Made at first use: close() may come
// before this library's static constructors have run.
struct Outputs {
  std::mutex lock;
  std::unordered_map<int, int> bits;
};

Outputs& AllOutputs() {
  static Outputs* outputs = new Outputs;  // never destroyed: close() may come after exit
  return *outputs;
}

constexpr int kOutputs = TIOCM_DTR | TIOCM_RTS;

int OutputsOf(int fd) {
  Outputs& outputs = AllOutputs();
  std::lock_guard lock(outputs.lock);
  auto found = outputs.bits.find(fd);
  return found == outputs.bits.end() ? kOutputs : found->second;
}

void SetOutputs(int fd, int bits) {
  Outputs& outputs = AllOutputs();
  std::lock_guard lock(outputs.lock);
  outputs.bits[fd] = bits & kOutputs;
}

// Unix 98 pseudo-terminal slaves have the majors 136 to 143.
std::optional<std::string> SlavePath(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return std::nullopt;
  if (major(st.st_rdev) < 136 || major(st.st_rdev) > 143) return std::nullopt;
  return "/dev/pts/" + std::to_string((major(st.st_rdev) - 136) * 256 + minor(st.st_rdev));
}

// The lines the declaration of the link to `slave` names, as TIOCM_ bits; none when no link
// of the folder names the slave, it has no declaration, or a word is unknown.
std::optional<int> DeclaredLines(const std::string& slave) {
  const char* folder = std::getenv("MDM_LINES_FOLDER");
  if (folder == nullptr) return std::nullopt;
  DIR* dir = opendir(folder);
  if (dir == nullptr) return std::nullopt;
  std::string declaration;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() < 4 || strncasecmp(name.c_str(), "com", 3) != 0 ||
        name.find('.') != std::string::npos) {
      continue;
    }
    const std::string link = std::string(folder) + "/" + name;
    char target[256];
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length > 0 && std::string(target, static_cast<std::size_t>(length)) == slave) {
      declaration = link + ".lines";
      break;
    }
  }
  closedir(dir);
  if (declaration.empty()) return std::nullopt;

  const int fd = open(declaration.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[257];
  const ssize_t size = read(fd, text, sizeof text - 1);
  RealClose()(fd);
  if (size < 0) return std::nullopt;
  text[size] = '\0';
  int lines = 0;
  char* save = nullptr;
  for (char* word = strtok_r(text, " \t\r\n", &save); word != nullptr;
       word = strtok_r(nullptr, " \t\r\n", &save)) {
    if (strcasecmp(word, "cts") == 0) {
      lines |= TIOCM_CTS;
    } else if (strcasecmp(word, "dsr") == 0) {
      lines |= TIOCM_DSR;
    } else if (strcasecmp(word, "dcd") == 0) {
      lines |= TIOCM_CAR;
    } else if (strcasecmp(word, "ring") == 0) {
      lines |= TIOCM_RNG;
    } else {
      return std::nullopt;
    }
  }
  return lines;
}

// The answer to a modem-line request on a declared slave; nullopt leaves it to the real ioctl.
std::optional<int> Answer(int fd, unsigned long request, void* argument) {
  if (request != TIOCMGET && request != TIOCMBIS && request != TIOCMBIC && request != TIOCMSET &&
      request != TIOCGICOUNT) {
    return std::nullopt;
  }
  const std::optional<std::string> slave = SlavePath(fd);
  if (!slave) return std::nullopt;
  const std::optional<int> lines = DeclaredLines(*slave);
  if (!lines) return std::nullopt;
  if (argument == nullptr) {
    errno = EFAULT;
    return -1;
  }
  const int bits = request == TIOCGICOUNT ? 0 : *static_cast<int*>(argument);
  switch (request) {
    case TIOCMGET:
      *static_cast<int*>(argument) = *lines | OutputsOf(fd);
      break;
    case TIOCMBIS:
      SetOutputs(fd, OutputsOf(fd) | bits);
      break;
    case TIOCMBIC:
      SetOutputs(fd, OutputsOf(fd) & ~bits);
      break;
    case TIOCMSET:
      SetOutputs(fd, bits);
      break;
    default:
      // The lines never break or err: no interrupts counted. The line changes come from
      // TIOCMGET, which Wine polls.
      *static_cast<serial_icounter_struct*>(argument) = {};
      break;
  }
  return 0;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if (std::optional<int> answered = Answer(fd, request, argument)) return *answered;
  return RealIoctl()(fd, request, argument);
}

// A descriptor's number may come back for another file: its outputs go with it.
extern "C" int close(int fd) {
  {
    Outputs& outputs = AllOutputs();
    std::lock_guard lock(outputs.lock);
    outputs.bits.erase(fd);
  }
  return RealClose()(fd);
}
