// The shell's program start (_SHELL_ShellExecute) with the platform's packet layout. A start is
// recorded (tests and the scenario host read it) and handed to a launcher, if one is set, after
// the call has returned: the caller never waits for the program. The launcher at first is
// StartFromWindowsDirectory.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/base/types.h"

struct SHEXPACKET {
  DWORD dwTotalSize;  // of the packet with its strings
  DWORD dwSize;       // of the header: 32
  DWORD ibOp;         // offsets of the strings from the packet's start; 0: none
  DWORD ibFile;
  DWORD ibParams;
  DWORD ibDir;
  DWORD dwReserved;
  DWORD nCmdShow;
};
static_assert(sizeof(SHEXPACKET) == 32);

constexpr DWORD SHELL_SHELLEXECUTE_OK = 33;  // above 32: started

// Starts the program the packet names; 0 (and nothing started) for a packet whose offsets or
// strings lie outside its total size.
DWORD _SHELL_ShellExecute(SHEXPACKET* packet);

namespace platform::vxd::shell {

struct Launch {
  std::string verb;
  std::string file;
  std::string parameters;
  std::string directory;
  DWORD show = 0;
};

std::vector<Launch> Launches();
void ClearLaunches();
// Called with every start, on the clock's timer thread (null: starts are only recorded).
void SetLauncher(std::function<void(const Launch&)> launcher);
// Starts the program of that file name (case does not matter) in the platform root's Windows
// directory as a process of its own, with the parameter text as its one argument, and does not
// wait for it. Nothing happens when there is no such program.
void StartFromWindowsDirectory(const Launch& launch);

}  // namespace platform::vxd::shell
