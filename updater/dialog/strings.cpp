#include "updater/dialog/strings.h"

#include <array>

#include "platform/win32/string_table.h"

namespace {

using platform::win32::StringResource;

constexpr std::array kStrings = {
    StringResource{IDS_SAVE_LOG_TITLE, "Save update log as ..."},
    StringResource{IDS_LOG_FILES, "Firmware Update Logfiles"},
    StringResource{IDS_ALL_FILES, "All files"},
    StringResource{IDS_IMAGE_FILES, "Firmware Update Image files"},
    StringResource{IDS_CANNOT_OPEN_LOG, "Cannot open the log file"},
    StringResource{IDS_CANNOT_WRITE_LOG, "Cannot write the log file"},
    StringResource{IDS_CANNOT_OPEN_IMAGE, "Cannot open the image file"},
    StringResource{IDS_SELECT_IMAGE_TITLE, "Select an image file for the modem on %s"},
    StringResource{IDS_NO_SERIAL_PORTS, "There are no serial ports!"},
    StringResource{IDS_THREAD_START_FAILED, "Start of a thread failed."},
    StringResource{IDS_UPDATE_FINISHED, "Update finished!\r\n"},
    StringResource{IDS_SELECT_IMAGE, "Select of an image file\r\n"},
    StringResource{IDS_NO_IMAGE_SELECTED, "No image file selected\r\n"},
    StringResource{IDS_UPDATE_RESTARTED, "Update will be restarted\r\n"},
    StringResource{IDS_GIVE_UP, "Update has been started 3 times. Give up!!!\r\n"},
    StringResource{IDS_NO_ANSWER, "\r\nNo answer from the modem!!!\r\n"},
    StringResource{IDS_UPDATE_STARTED, "\r\nUpdate started...\r\n"},
    StringResource{IDS_UPDATE_COMPLETED, "\r\nUpdate completed successfully!\r\n"},
    StringResource{IDS_UPDATE_FAILED, "\r\nSorry, update failed.\r\n"},
    StringResource{IDS_TOOL_STARTED, "Modem update tool started.\r\n"},
    StringResource{IDS_SEARCHING, "\r\nSearching for USB-Modems ...\r\n\r\n"},
    StringResource{IDS_MODEM_STATUS_FAILED, "GetCommModemStatus() on %s failed.\r\n"},
    StringResource{IDS_NOT_CONNECTED, "The modem on %s is not correct connected!\r\n"},
    StringResource{IDS_CHECK_MODEM, "\r\nCheck the modem on %s for updating, please wait ...\r\n"},
    StringResource{IDS_SESSION_FAILED, "Couldn't open the modem session, please try again.\r\n"},
    StringResource{IDS_SENDING_FIRMWARE, "\r\nSending firmware to modem ...\r\n"},
    StringResource{IDS_CANCEL_RUNNING, "Update is running! Cancel it ?"},
    StringResource{IDS_CHECKING_FLASH, "\r\nChecking the flash ...\r\n"},
    StringResource{IDS_USE_SAME_IMAGE,
                   "Should this image be used for updating of all other USB modems as well?"},
    StringResource{IDS_PORT_LIST_UNREADABLE,
                   "The list of serial ports (hardware\\devicemap\\serialcomm) cannot be "
                   "read: is the modem driver installed?\r\n"},
    StringResource{IDS_PORT_LIST_NO_HANDLES,
                   "The list of serial ports (hardware\\devicemap\\serialcomm) cannot be "
                   "read: too many open files.\r\n"},
    StringResource{IDS_PORT_NO_HANDLES, "%s cannot be opened: too many open files.\r\n"},
};

}  // namespace

void RegisterUpdaterStrings() {
  platform::win32::RegisterStringTable(kStrings);
}
