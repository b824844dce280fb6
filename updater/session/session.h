// The update session of mdmflash: the search for USB modems, the per-port steps of the update
// worker, and the firmware image.
#pragma once

#include "platform/ui/winuser.h"
#include "platform/win32/windows.h"

constexpr int kMaxPorts = 10;
constexpr int kMaxAttempts = 3;

// One serial port of the registry's serial-port map, in registry order.
struct PortEntry {
  char name[32];     // e.g. "COM3", NUL-terminated
  LONG isUsbModem;   // 1 when the port answered the identification as a USB modem
  LONG noModemCode;  // 1 when that modem holds no modem code
  LONG attempts;     // failed transfers on this modem so far
};

// The one session of a run, zeroed at program start.
struct UpdateSession {
  PortEntry PortTable[kMaxPorts];
  LONG portCount;
  LONG currentPort;  // only the worker changes it
  LONG modemCount;
  DWORD useSameImage;  // once 1, the image loaded last serves every later modem
};

extern UpdateSession updateSession;

// The firmware image: a read-only view of the whole file while loaded.
struct ImageFile {
  HANDLE fileHandle;
  HANDLE mappingHandle;
  const BYTE* data;  // not null exactly while an image is loaded
  DWORD size;
  DWORD sizeHigh;
  char baseName[33];
  char mtimeOctal[16];
  char mtimeDecimal[16];
  char lastImagePath[256];
  char initialFolder[256];
};

extern ImageFile imageFile;

// Modem discovery and identification.
DWORD EnumSerialPorts(DWORD maxPorts);
// Set by EnumSerialPorts when the serial-port map could not be opened at all, and why: the
// system's open-file limit (portListNoHandles) or anything else (the driver not installed).
extern bool portListUnreadable;
extern bool portListNoHandles;
void CheckAllPorts();
void CheckModem(int index);
int ClassifyAnswer(DWORD waitMs);
// The bytes of ModemReplyBuffer that the last identification probe read (0: no answer).
extern LONG identReplyCount;
void LogPortList();
BOOL WaitForAnswer(BOOL search, LPCSTR pattern, DWORD waitMs);

// The update controller: the dialog thread's start, the worker's five handlers, and closing.
void StartModemSearch();
void OnNextStep();
void OnModemReady();
void OnTransferDone();
void OnTransferFailed();
void OnStop();
BOOL SetupCommPort(int index);
BOOL ConfirmStop();
void StopSession();

// The firmware image.
const BYTE* OpenImage();
LPCSTR SelectImageFile(HINSTANCE instance, HWND owner);
void ReadImageFileInfo(LPCSTR path);
void ReleaseImage();
