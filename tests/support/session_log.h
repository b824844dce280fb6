// The update log's texts as the session writes them, for tests that compare logs byte for byte.
#pragma once

#include <string>

namespace session_log {

inline constexpr char kStarted[] = "Modem update tool started.\r\n";
inline constexpr char kSearching[] = "\r\nSearching for USB-Modems ...\r\n\r\n";
inline constexpr char kSelect[] = "Select of an image file\r\n";
inline constexpr char kTransfer[] =
    "\r\nUpdate started...\r\n"
    "\r\nSending firmware to modem ...\r\n"
    "\r\nChecking the flash ...\r\n";
inline constexpr char kDone[] = "\r\nUpdate completed successfully!\r\n";
inline constexpr char kFinished[] = "Update finished!\r\n";
inline constexpr char kFailedTwice[] = "\r\nSorry, update failed.\r\nUpdate will be restarted\r\n";

inline std::string Check(const std::string& port) {
  return "\r\nCheck the modem on " + port + " for updating, please wait ...\r\n";
}

}  // namespace session_log
