// What the serving programs (mdmd, mdmsim) say for --version about the modem they speak to.
#pragma once

namespace mdmsim {

inline constexpr char kModemFacts[] =
    "USB modem VID F3A9, PID 5201, one interface with five pipes: isochronous IN status "
    "(endpoint 0x81), isochronous IN data (0x85), isochronous OUT data (0x06), bulk IN "
    "indications (0x83), bulk OUT commands (0x04). Its COM ports are served as pseudo-terminals "
    "linked as $MDM_ROOT/dosdevices/comN and over RFC 2217 (the COM-port option of telnet).";

}  // namespace mdmsim
