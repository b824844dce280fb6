// The serial-port driver's side of its contract with the modem's driver, declared from the
// bytes: the 28-byte record (little-endian 32-bit fields, addresses as 32-bit flat addresses),
// the function codes both ways and the two private control messages.
#pragma once

#include <cstdint>

namespace sim::portdrv {

struct PortRecord {
  std::uint32_t function;       // 0
  std::uint32_t result;         // 4   (PORT_PUT_MSR answer: bytes waiting to be sent)
  std::uint32_t unitName;       // 8
  std::uint32_t parameter1;     // 12  (PORT_PUT_MSR: register in byte 13; answer: receive room)
  std::uint32_t parameter2;     // 16  (WDM_SET_LINE: format bytes 16, 17, 18)
  std::uint32_t deviceHandle;   // 20
  std::uint32_t callbackEntry;  // 24
};
static_assert(sizeof(PortRecord) == 28);

// To the modem's driver.
constexpr std::uint32_t kWdmAttach = 1;
constexpr std::uint32_t kWdmDetach = 2;
constexpr std::uint32_t kWdmSetMcr = 3;
constexpr std::uint32_t kWdmSetLine = 4;
constexpr std::uint32_t kWdmNop = 5;
constexpr std::uint32_t kWdmSetXonXoff = 6;
// From the modem's driver.
constexpr std::uint32_t kPortDetach = 1;
constexpr std::uint32_t kPortPutData = 2;
constexpr std::uint32_t kPortGetData = 3;
constexpr std::uint32_t kPortPutMsr = 4;

constexpr std::uint32_t kHandled = 0x00010000;
constexpr std::uint32_t kPollMessage = 0x71000001;
constexpr std::uint32_t kAttachMessage = 0x71000002;
constexpr const char* kDriverName = "MDMCORE ";

// The callbacks both ways, with the platform's C convention of two 32-bit arguments.
using PortCallbackFn = void(std::uint32_t context, std::uint32_t record);
using DriverCallbackFn = std::uint32_t(std::uint32_t deviceHandle, std::uint32_t record);

}  // namespace sim::portdrv
