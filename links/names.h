// The fixed texts of mdmlinks: the Start-menu group, its two shortcuts and their targets.
#pragma once

namespace mdmlinks {

inline constexpr char kGroupName[] = "USB Modem Utility 02";
inline constexpr char kUpdateLinkName[] = "USB Modem Update.lnk";
inline constexpr char kUpdateDescription[] = "USB Modem Update";
inline constexpr char kUpdateTarget[] = "MDMFLASH.EXE";
inline constexpr char kUninstallLinkName[] = "USB Modem Uninstall.lnk";
inline constexpr char kUninstallDescription[] = "USB Modem Uninstall";
inline constexpr char kUninstallTarget[] = "MDMREMOVE.EXE";
inline constexpr char kSeparator[] = "\\";
inline constexpr char kAllFiles[] = "\\*.*";

}  // namespace mdmlinks
