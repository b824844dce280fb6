// Line settings of the COM-port stand-in in the kernel's termios2 terms.
#include "platform/win32/termios_line.h"

namespace platform::win32::termios_line {
namespace {

constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

tcflag_t CharacterSize(BYTE byteSize) {
  switch (byteSize) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

tcflag_t ParityBits(BYTE parity) {
  switch (parity) {
    case ODDPARITY:
      return PARENB | PARODD;
    case EVENPARITY:
      return PARENB;
    case MARKPARITY:
      return PARENB | CMSPAR | PARODD;
    case SPACEPARITY:
      return PARENB | CMSPAR;
    default:
      return 0;
  }
}

BYTE ReadByteSize(const termios2& t) {
  switch (t.c_cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

BYTE ReadParity(const termios2& t) {
  if (!(t.c_cflag & PARENB)) return NOPARITY;
  bool odd = (t.c_cflag & PARODD) != 0;
  if (t.c_cflag & CMSPAR) return odd ? MARKPARITY : SPACEPARITY;
  return odd ? ODDPARITY : EVENPARITY;
}

}  // namespace

StandardRate NearestStandardRate(DWORD rate) {
  StandardRate best = kStandardRates[0];
  for (const StandardRate& candidate : kStandardRates) {
    auto distance = [rate](DWORD r) { return r > rate ? r - rate : rate - r; };
    if (distance(candidate.rate) < distance(best.rate)) best = candidate;
  }
  return best;
}

// Raw mode as cfmakeraw sets it: bytes pass unchanged both ways, a read returns what is there.
void MakeRaw(termios2& t) {
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~(CSIZE | PARENB);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

// Everything of the DCB except the rate. The tty has no one-and-a-half stop bits; two is the
// nearest it has.
//
// Flow control: the tty's CRTSCTS is one switch for both directions (output waits for CTS, and
// RTS drops while input is throttled), so it is set only when the DCB asks for CTS output flow
// control (fOutxCtsFlow): a modem that holds CTS low must not stop every write of a port that
// never asked to wait for CTS. What the tty cannot do is left out: RTS handshake without CTS
// output flow (RTS then stays on), RTS toggle, DSR output flow (fOutxDsrFlow), DTR handshake
// (DTR then stays on), DSR sensitivity, XonLim and XoffLim, fTXContinueOnXoff, the error and
// null characters, and fAbortOnError. GetCommState still reports what the application set.
void WriteLineSettings(const DCB& dcb, termios2& t) {
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CharacterSize(dcb.ByteSize) | ParityBits(dcb.Parity) | CLOCAL | CREAD;
  if (dcb.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
  if (dcb.fOutxCtsFlow) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  if (dcb.fOutX) t.c_iflag |= IXON;
  if (dcb.fInX) t.c_iflag |= IXOFF;
  if (dcb.fParity && dcb.Parity != NOPARITY) t.c_iflag |= INPCK;
  t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
}

// Overlays on `dcb` what the tty knows of; the rest stays as `dcb` has it.
void ReadLineSettings(const termios2& t, DCB& dcb) {
  dcb.BaudRate = t.c_ospeed;
  dcb.ByteSize = ReadByteSize(t);
  dcb.Parity = ReadParity(t);
  if (!(t.c_cflag & CSTOPB)) {
    dcb.StopBits = ONESTOPBIT;
  } else if (dcb.StopBits == ONESTOPBIT) {
    dcb.StopBits = TWOSTOPBITS;
  }
  // CRTSCTS is CTS output flow with RTS input flow. Without it the DCB's RTS handshake stays:
  // it maps to no tty setting (WriteLineSettings).
  dcb.fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
  if (dcb.fOutxCtsFlow) dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb.fOutX = (t.c_iflag & IXON) != 0;
  dcb.fInX = (t.c_iflag & IXOFF) != 0;
  dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
  dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

// A rate the tty may run at for the one asked: UARTs tolerate a few percent.
bool CloseEnough(DWORD actual, DWORD wanted) {
  std::uint64_t difference = actual > wanted ? actual - wanted : wanted - actual;
  return difference * 100 <= std::uint64_t{wanted} * 3;
}

}  // namespace platform::win32::termios_line
