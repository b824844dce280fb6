// mdmflash --list: the ports of the serial-port map and what each answered to "ati9", found as
// the update finds them, without asking for an image or putting a modem into download mode.
#pragma once

// Prints the list on standard output; returns 0 when a USB modem was found, else 3. SIGINT,
// SIGTERM or SIGHUP stop it after the port being probed (130, 143, 129).
int ListModems();
