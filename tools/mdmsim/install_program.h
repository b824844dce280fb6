// The install program the driver starts at every start of a modem ("MDMINST.EXE" in the
// platform root's Windows directory), provided by the programs that load the driver for real.
#pragma once

namespace mdmsim {

// Links our mdminst, beside the running program or where the install put it, as the platform
// root's MDMINST.EXE, unless the root has one already or no mdminst is found.
void ProvideInstallProgram();

}  // namespace mdmsim
