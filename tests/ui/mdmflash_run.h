// Running the built mdmflash without a display in a test's platform root, and the record its
// Save Log appends to a file.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "platform/win32/windows.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_root.h"

namespace ui_test {

namespace fs = std::filesystem;
using testing_support::ProgramResult;
using testing_support::ProgramRun;
using testing_support::ReadWholeFile;
using testing_support::RunProgram;
using testing_support::TempRoot;

// DISPLAY is emptied so that no run opens a window, whatever the test's environment.
inline ProgramResult Mdmflash(const TempRoot& root, const std::vector<std::string>& args) {
  return RunProgram(MDMFLASH_PATH, args, root.path(),
                    {{{"DISPLAY", ""}}, std::chrono::seconds(120)});
}

inline void ListPorts(const std::vector<std::string>& names) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Hardware\\Devicemap\\Serialcomm", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  for (const std::string& name : names) {
    RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                   static_cast<DWORD>(name.size() + 1));
  }
  RegCloseKey(key);
}

// Save Log's record of `log` as it reaches the file in text mode, its time stamp written as
// "MM.DD.YYYY hh:mm:ss" (see WithoutTimes).
inline std::string Record(const std::string& log) {
  std::string body;
  for (char c : log) {
    if (c == '\n') body += '\r';
    body += c;
  }
  return "\r\r\nKelvo Modem-Update-Log MM.DD.YYYY hh:mm:ss  >>>>\r\n" + body +
         "\r\n ------ <<<<\r\n";
}

inline std::string WithoutTimes(const std::string& file) {
  static const std::regex stamp("Log [0-9]{2}\\.[0-9]{2}\\.[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}  ");
  return std::regex_replace(file, stamp, "Log MM.DD.YYYY hh:mm:ss  ");
}

}  // namespace ui_test
