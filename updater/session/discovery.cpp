// Finding the USB modems: the serial-port map of the registry, one identification probe per
// port, and the port list in the log.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "updater/dialog/dialog.h"
#include "updater/dialog/strings.h"
#include "updater/serial/serial.h"
#include "updater/session/session.h"

namespace {

constexpr const char* kSerialPortKey = "hardware\\devicemap\\serialcomm";
constexpr DWORD kNameRoom = 8;   // a value's name, terminator included
constexpr DWORD kDataRoom = 32;  // a value's data
constexpr DWORD kProbeReadInterval = 250;
constexpr DWORD kProbePauseMs = 1000;
constexpr DWORD kIdentWaitMs = 10000;
constexpr char kIdentCommand[] = "ati9\r\n";
constexpr char kIdentWithCode[] = "USB high power, bus-powered function";
constexpr char kIdentWithoutCode[] = "USB no modem code";

// Where `pattern` first occurs within the first `count` bytes of the reply buffer, or -1.
LONG FindInReply(LONG count, const char* pattern) {
  std::string_view reply(reinterpret_cast<const char*>(ModemReplyBuffer),
                         static_cast<std::size_t>(count));
  std::size_t at = reply.find(pattern);
  return at == std::string_view::npos ? -1 : static_cast<LONG>(at);
}

bool ReplyStartsWith(LONG at, LONG count, const char* text) {
  auto length = static_cast<LONG>(std::strlen(text));
  return count - at >= length && std::memcmp(ModemReplyBuffer + at, text, length) == 0;
}

}  // namespace

bool portListUnreadable = false;
LONG identReplyCount = 0;
bool portListNoHandles = false;

DWORD EnumSerialPorts(DWORD maxPorts) {
  std::memset(updateSession.PortTable, 0, sizeof(updateSession.PortTable));
  HKEY key;
  LSTATUS opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialPortKey, 0, KEY_READ, &key);
  portListUnreadable = opened != ERROR_SUCCESS;
  portListNoHandles = opened == ERROR_TOO_MANY_OPEN_FILES;
  if (portListUnreadable) return maxPorts;  // every entry stays empty; no probe can open one
  DWORD count = 0;
  for (;; ++count) {
    char name[kNameRoom];
    DWORD nameChars = kNameRoom;
    BYTE data[kDataRoom];
    DWORD dataBytes = kDataRoom;
    DWORD type;
    // A name or data too long for its room ends the list, as the end of the values does.
    if (RegEnumValueA(key, count, name, &nameChars, nullptr, &type, data, &dataBytes) !=
        ERROR_SUCCESS) {
      break;
    }
    if (count < maxPorts) {
      PortEntry& entry = updateSession.PortTable[count];
      std::memcpy(entry.name, data, std::min<DWORD>(dataBytes, sizeof(entry.name) - 1));
    }
  }
  RegCloseKey(key);
  return std::min(count, maxPorts);
}

void CheckAllPorts() {
  for (int i = 0; i < updateSession.portCount; ++i) CheckModem(i);
}

void CheckModem(int index) {
  PortEntry& entry = updateSession.PortTable[index];
  CommPortSession& s = commPortSession;
  std::memset(&s.readRequest, 0, sizeof(s.readRequest));
  s.readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  s.writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  identReplyCount = 0;
  s.port = OpenCommPort(entry.name, kProbeReadInterval);
  // Out of descriptors, the port may well hold a modem: the log says why it is passed over.
  if (s.port == nullptr && GetLastError() == ERROR_TOO_MANY_OPEN_FILES) {
    char format[256];
    char text[256];
    if (LoadStringA(nullptr, IDS_PORT_NO_HANDLES, format, sizeof(format)) > 0) {
      std::snprintf(text, sizeof(text), format, entry.name);
      AppendLog(text);
    }
  }
  if (s.port != nullptr) {
    Sleep(kProbePauseMs);
    DWORD status;
    // Any port whose status can be read is probed; the update itself is stricter.
    if (GetCommModemStatus(s.port, &status)) {
      WriteToComm(reinterpret_cast<const BYTE*>(kIdentCommand), sizeof(kIdentCommand) - 1);
      int kind = ClassifyAnswer(kIdentWaitMs);
      if (kind == 1) entry.noModemCode = 1;
      if (kind >= 1) ++updateSession.modemCount;
      entry.isUsbModem = kind >= 1 ? 1 : 0;
    }
    CloseCommPort();
  }
  CloseHandle(s.readEvent);
  CloseHandle(s.writeEvent);
  s.readEvent = nullptr;
  s.writeEvent = nullptr;
}

// 2: a modem holding modem code, 1: a modem without, 0: anything else. Only the first "USB" of
// the reply is looked at.
int ClassifyAnswer(DWORD waitMs) {
  LONG count = ReadFromComm(ModemReplyBuffer, kModemReplyBufferSize, waitMs);
  identReplyCount = count > 0 ? count : 0;
  if (count <= 0) return 0;
  LONG at = FindInReply(count, "USB");
  if (at < 0) return 0;
  if (ReplyStartsWith(at, count, kIdentWithCode)) return 2;
  if (ReplyStartsWith(at, count, kIdentWithoutCode)) return 1;
  return 0;
}

void LogPortList() {
  for (int i = 0; i < updateSession.portCount && updateSession.PortTable[i].name[0] != '\0'; ++i) {
    const PortEntry& entry = updateSession.PortTable[i];
    char line[128];
    if (entry.isUsbModem != 0) {
      std::snprintf(line, sizeof(line), "%s, USB_Modem%s", entry.name,
                    entry.noModemCode != 0 ? ",  - Modem_Code\r\n\r\n" : ",  + Modem_Code\r\n\r\n");
    } else {
      std::snprintf(line, sizeof(line), "%s,  ! USB_Modem\r\n\r\n", entry.name);
    }
    AppendLog(line);
  }
}

BOOL WaitForAnswer(BOOL search, LPCSTR pattern, DWORD waitMs) {
  LONG count = ReadFromComm(ModemReplyBuffer, kModemReplyBufferSize, waitMs);
  if (count <= 0) {
    LogString(IDS_NO_ANSWER);
    return FALSE;
  }
  return search && FindInReply(count, pattern) >= 0 ? TRUE : FALSE;
}
