// The platform root: the one folder that holds what the platform keeps on disk (registry.reg,
// Windows/, Start Menu/Programs/, dosdevices/). Separate processes meet through it.
#pragma once

#include <filesystem>

namespace platform {

// MDM_ROOT when set, else "mdm" under the user's data folder ($XDG_DATA_HOME, or
// ~/.local/share). The folder is not created here.
std::filesystem::path Root();

}  // namespace platform
