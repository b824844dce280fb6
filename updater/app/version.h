// The version facts of mdmflash, as its version resource carries them.
#pragma once

constexpr char kFileDescription[] = "USB Modem Update Utility";
constexpr char kProductName[] = "USB Modem";
constexpr char kInternalName[] = "mdmflash";
constexpr char kFileVersion[] = "2, 0, 0, 1";
constexpr char kFileVersionNumber[] = "1.0.0.1";
constexpr char kProductVersion[] = "1, 0, 0, 1";
