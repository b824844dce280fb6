// The Win32 communications calls, dispatched to the CommPort behind a handle.
#include <cctype>
#include <filesystem>

#include "platform/base/root.h"
#include "platform/net/connection.h"
#include "platform/win32/comm.h"
#include "platform/win32/debug.h"
#include "platform/win32/inprocess_port.h"

namespace platform::win32 {

std::string CanonicalCommName(const char* name) {
  if (name == nullptr) return {};
  std::string text = name;
  if (text.rfind("\\\\.\\", 0) == 0) text.erase(0, 4);
  if (text.size() < 4 || text.size() > 6) return {};
  for (int i = 0; i < 3; ++i) {
    text[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
  }
  if (text.compare(0, 3, "COM") != 0 || text[3] == '0') return {};
  int number = 0;
  for (std::size_t i = 3; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return {};
    number = number * 10 + (text[i] - '0');
  }
  return number >= 1 && number <= 255 ? text : std::string{};
}

DCB DefaultLineSettings() {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

// A port that failed to open for want of a descriptor or memory is no missing port: the debugger
// output names the cause.
void ReportNoResources(const std::string& port) {
  const DWORD error = GetLastError();
  if (error != ERROR_TOO_MANY_OPEN_FILES && error != ERROR_NOT_ENOUGH_MEMORY) return;
  std::string text =
      port + ": cannot be opened: " +
      (error == ERROR_TOO_MANY_OPEN_FILES ? "too many open files" : "out of memory") + "\n";
  debug::Sink().Deliver(text.c_str());
  SetLastError(error);
}

HANDLE OpenCommPort(const char* name, DWORD, DWORD, DWORD flags) {
  std::string canonical = CanonicalCommName(name);
  if (canonical.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<CommBackend> backend = OpenInProcessBackend(canonical);
  if (!backend) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return INVALID_HANDLE_VALUE;
    std::string link = canonical;
    for (char& c : link) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::filesystem::path path = platform::Root() / "dosdevices" / link;
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    std::filesystem::path target = std::filesystem::read_symlink(path, error);
    backend = !error && platform::net::NamesRemotePort(target.string())
                  ? OpenRemoteBackend(path.string(), target.string())
                  : OpenTermiosBackend(path.string());
    if (!backend) {
      ReportNoResources(canonical);
      return INVALID_HANDLE_VALUE;
    }
  }
  bool overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
  return InsertHandle(std::make_shared<CommPort>(std::move(backend), overlapped));
}

BOOL CommReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped) {
  auto port = Lookup<CommPort>(file);
  if (!port) return FALSE;
  return port->Read(static_cast<BYTE*>(buffer), count, read, overlapped);
}

BOOL CommWriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                   LPOVERLAPPED overlapped) {
  auto port = Lookup<CommPort>(file);
  if (!port) return FALSE;
  return port->Write(static_cast<const BYTE*>(buffer), count, written, overlapped);
}

}  // namespace platform::win32

using platform::win32::CommPort;
using platform::win32::Lookup;

BOOL GetCommState(HANDLE file, LPDCB dcb) {
  auto port = Lookup<CommPort>(file);
  return port && dcb != nullptr ? port->GetState(*dcb) : FALSE;
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
  auto port = Lookup<CommPort>(file);
  return port && dcb != nullptr ? port->SetState(*dcb) : FALSE;
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
  auto port = Lookup<CommPort>(file);
  return port ? port->Escape(function) : FALSE;
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  auto port = Lookup<CommPort>(file);
  return port ? port->Setup(inQueue, outQueue) : FALSE;
}

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  auto port = Lookup<CommPort>(file);
  return port && timeouts != nullptr ? port->GetTimeouts(*timeouts) : FALSE;
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  auto port = Lookup<CommPort>(file);
  return port && timeouts != nullptr ? port->SetTimeouts(*timeouts) : FALSE;
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
  auto port = Lookup<CommPort>(file);
  return port ? port->Purge(flags) : FALSE;
}

BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat) {
  auto port = Lookup<CommPort>(file);
  return port ? port->ClearError(errors, stat) : FALSE;
}

BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus) {
  auto port = Lookup<CommPort>(file);
  return port && modemStatus != nullptr ? port->ModemStatus(*modemStatus) : FALSE;
}

// Works on the request record alone, so it serves every kind of overlapped request.
BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
  if (overlapped == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto& clock = platform::clock::Current();
  platform::clock::Lock lock(clock.Mutex());
  const std::function<bool()> done = [overlapped] {
    return overlapped->Internal != platform::win32::kOverlappedPending;
  };
  if (!done()) {
    if (!wait || clock.Wait(lock, done, std::nullopt, "GetOverlappedResult") !=
                     platform::clock::WaitResult::kReady) {
      SetLastError(wait ? ERROR_OPERATION_ABORTED : ERROR_IO_INCOMPLETE);
      return FALSE;
    }
  }
  if (transferred != nullptr) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  if (overlapped->Internal != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(overlapped->Internal));
    return FALSE;
  }
  return TRUE;
}

BOOL SetCommMask(HANDLE file, DWORD eventMask) {
  auto port = Lookup<CommPort>(file);
  return port ? port->SetMask(eventMask) : FALSE;
}

BOOL GetCommMask(HANDLE file, LPDWORD eventMask) {
  auto port = Lookup<CommPort>(file);
  return port && eventMask != nullptr ? port->GetMask(*eventMask) : FALSE;
}

// The port stays alive while a blocking wait holds it, so closing the handle from another
// thread ends the wait (ERROR_OPERATION_ABORTED) rather than pulling the port from under it.
BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, LPOVERLAPPED overlapped) {
  auto port = Lookup<CommPort>(file);
  return port ? port->WaitEvent(eventMask, overlapped) : FALSE;
}
