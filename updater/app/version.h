// The version facts of mdmflash, as its version resource carries them. Plain macros, so that the
// resource compiler builds the Windows executable's version resource from the same lines.
#pragma once

#define MDMFLASH_FILE_DESCRIPTION "USB Modem Update Utility"
#define MDMFLASH_PRODUCT_NAME "USB Modem"
#define MDMFLASH_INTERNAL_NAME "mdmflash"
#define MDMFLASH_FILE_VERSION "2, 0, 0, 1"
#define MDMFLASH_FILE_VERSION_NUMBER "1.0.0.1"
#define MDMFLASH_FILE_VERSION_NUMBERS 1, 0, 0, 1
#define MDMFLASH_PRODUCT_VERSION "1, 0, 0, 1"
#define MDMFLASH_PRODUCT_VERSION_NUMBERS 1, 0, 0, 1
