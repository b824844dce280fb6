// The program's string resources: every text the user sees has a number.
#pragma once

#include "platform/base/types.h"

constexpr UINT IDS_SAVE_LOG_TITLE = 16;
constexpr UINT IDS_LOG_FILES = 17;
constexpr UINT IDS_ALL_FILES = 18;
constexpr UINT IDS_IMAGE_FILES = 19;
constexpr UINT IDS_CANNOT_OPEN_LOG = 20;
constexpr UINT IDS_CANNOT_OPEN_IMAGE = 21;
constexpr UINT IDS_SELECT_IMAGE_TITLE = 22;
constexpr UINT IDS_NO_SERIAL_PORTS = 23;
constexpr UINT IDS_THREAD_START_FAILED = 24;
constexpr UINT IDS_UPDATE_FINISHED = 25;
constexpr UINT IDS_SELECT_IMAGE = 26;
constexpr UINT IDS_NO_IMAGE_SELECTED = 27;
constexpr UINT IDS_CANNOT_WRITE_LOG = 28;
constexpr UINT IDS_UPDATE_RESTARTED = 2001;
constexpr UINT IDS_GIVE_UP = 2002;
constexpr UINT IDS_NO_ANSWER = 2004;
constexpr UINT IDS_UPDATE_STARTED = 2005;
constexpr UINT IDS_UPDATE_COMPLETED = 2007;
constexpr UINT IDS_UPDATE_FAILED = 2008;
constexpr UINT IDS_TOOL_STARTED = 2009;
constexpr UINT IDS_SEARCHING = 2010;
constexpr UINT IDS_MODEM_STATUS_FAILED = 2011;
constexpr UINT IDS_NOT_CONNECTED = 2012;
constexpr UINT IDS_CHECK_MODEM = 2015;
constexpr UINT IDS_SESSION_FAILED = 2016;
constexpr UINT IDS_SENDING_FIRMWARE = 2017;
constexpr UINT IDS_CANCEL_RUNNING = 2018;
constexpr UINT IDS_CHECKING_FLASH = 2034;
constexpr UINT IDS_USE_SAME_IMAGE = 2035;
constexpr UINT IDS_PORT_LIST_UNREADABLE = 2036;
constexpr UINT IDS_PORT_LIST_NO_HANDLES = 2037;
constexpr UINT IDS_PORT_NO_HANDLES = 2038;

// Registers the table with the platform's string resources (once, at program start).
void RegisterUpdaterStrings();
