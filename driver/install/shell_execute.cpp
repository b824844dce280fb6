// Starting a program through the shell service with the one shell-execute packet.
#include <cstring>

#include "driver/install/install.h"

ExecPacket exec_packet;

namespace {

constexpr DWORD kShowNormal = 1;

// Appends text and its NUL at `at` when it fits before the end of the packet (leaving room for
// the final NUL), and returns the new position.
DWORD Put(DWORD at, const char* text) {
  std::size_t length = std::strlen(text);
  if (at + length + 2 > kExecPacketSize) length = kExecPacketSize - 2 - at;
  std::memcpy(exec_packet.bytes + at, text, length);
  exec_packet.bytes[at + length] = '\0';
  return static_cast<DWORD>(at + length + 1);
}

}  // namespace

void VxD_shell_execute(const char* fileName, const char* firstText, const char* secondText) {
  std::memset(exec_packet.bytes, 0, kExecPacketSize);
  SHEXPACKET& header = exec_packet.header;
  header.dwTotalSize = kExecPacketSize;
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
  std::size_t room = kExecPacketSize - 2 - at;
  std::strncat(exec_packet.bytes + at, firstText, room);
  if (secondText != nullptr) {
    std::size_t used = std::strlen(exec_packet.bytes + at);
    std::strncat(exec_packet.bytes + at, "#", room - used);
    used = std::strlen(exec_packet.bytes + at);
    std::strncat(exec_packet.bytes + at, secondText, room - used);
  }
  ASMLIB_SHELL_Execute(&exec_packet.header);
}
