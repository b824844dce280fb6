// Installing the modem: the configuration manager's node and the install program.
#include <cstring>

#include "driver/core/asmlib.h"
#include "driver/core/devext.h"

namespace {

constexpr DWORD kPacketSize = 288;
constexpr DWORD kShowNormal = 1;

// The one shell-execute packet, reused for every program start.
union {
  SHEXPACKET header;
  char bytes[kPacketSize];
} exec_packet;
static_assert(sizeof(exec_packet) == kPacketSize);

// Appends text and its NUL at `at` when it fits before the end of the packet (leaving room for
// the final NUL), and returns the new position.
DWORD Put(DWORD at, const char* text) {
  std::size_t length = std::strlen(text);
  if (at + length + 2 > kPacketSize) length = kPacketSize - 2 - at;
  std::memcpy(exec_packet.bytes + at, text, length);
  exec_packet.bytes[at + length] = '\0';
  return static_cast<DWORD>(at + length + 1);
}

}  // namespace

// Registering the modem with the configuration manager comes with the modem installation work;
// start-device does not look at the result.
ULONG AddModem(DEVICE_OBJECT*) {
  return 0;
}

void VxD_shell_execute(const char* fileName, const char* firstText, const char* secondText) {
  std::memset(exec_packet.bytes, 0, kPacketSize);
  SHEXPACKET& header = exec_packet.header;
  header.dwTotalSize = kPacketSize;
  header.dwSize = sizeof(SHEXPACKET);
  header.ibOp = 0;
  header.ibFile = sizeof(SHEXPACKET);
  DWORD at = Put(header.ibFile, fileName);
  header.ibParams = at;
  header.ibDir = 0;
  header.dwReserved = 0;
  header.nCmdShow = kShowNormal;
  // The parameters: the first text, then "#" and the second text when there is one, as one
  // string; a second NUL ends the strings.
  std::size_t room = kPacketSize - 2 - at;
  std::strncat(exec_packet.bytes + at, firstText, room);
  if (secondText != nullptr) {
    std::size_t used = std::strlen(exec_packet.bytes + at);
    std::strncat(exec_packet.bytes + at, "#", room - used);
    used = std::strlen(exec_packet.bytes + at);
    std::strncat(exec_packet.bytes + at, secondText, room - used);
  }
  ASMLIB_SHELL_Execute(&exec_packet.header);
}
