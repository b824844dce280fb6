// Starting a program through the shell service with the one shell-execute packet.
#include <cstring>

#include "driver/install/install.h"

ExecPacket exec_packet;

namespace {

constexpr DWORD kShowNormal = 1;

// The packet's strings are written one after the other. Each is cut so that its own NUL, and
// the NUL of every string still to come, stay inside the packet: `pending` counts those.
DWORD Put(DWORD at, const char* text, DWORD pending) {
  const DWORD end = kExecPacketSize - pending;  // the first byte this string may not take
  while (*text != '\0' && at < end) exec_packet.bytes[at++] = *text++;
  return at;  // the packet was zeroed: the byte at `at` is this string's NUL
}

}  // namespace

void VxD_shell_execute(const char* fileName, const char* firstText, const char* secondText) {
  std::memset(exec_packet.bytes, 0, kExecPacketSize);
  SHEXPACKET& header = exec_packet.header;
  header.dwTotalSize = kExecPacketSize;
  header.dwSize = sizeof(SHEXPACKET);
  header.ibOp = 0;
  header.ibFile = sizeof(SHEXPACKET);
  // Behind the file name: its NUL, the parameters' NUL and the final NUL.
  header.ibParams = Put(header.ibFile, fileName, 3) + 1;
  header.ibDir = 0;
  header.dwReserved = 0;
  header.nCmdShow = kShowNormal;
  // The parameters: the first text, then "#" and the second text when there is one, as one
  // string; a second NUL ends the strings.
  DWORD at = Put(header.ibParams, firstText, 2);
  if (secondText != nullptr) at = Put(Put(at, "#", 2), secondText, 2);
  ASMLIB_SHELL_Execute(&exec_packet.header);
}
