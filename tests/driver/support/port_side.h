// A running modem for tests of the transfer engine and the port bridge: the driver loaded, a
// simulated USB modem added and started, and a scripted port side attached through the private
// control message, which records every call the driver makes to it.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "driver/wire.h"
#include "tests/driver/support/driver_test.h"

namespace driver_test {

struct PortSideCall {
  ULONG function;
  ULONG parameter1;
  std::vector<UCHAR> bytes;  // PORT_PUT_DATA: the delivered bytes; PORT_GET_DATA: the given ones
};

class EngineTest : public DriverTest {
 public:
  void SetUp() override;

  // Plugs and starts a modem (serial "0000A1B2C3D4").
  void StartModem(sim::modem::Behaviour behaviour = {});
  // Attaches the scripted port side with WDM_ATTACH; the record as the driver left it.
  PortRecord AttachPort(const char* unit = "0000A1B2C3D4");
  // The same through either entry: WDM_ATTACH or the poll.
  enum AttachEntry { ByAttach, ByPoll };
  PortRecord AttachPort(AttachEntry entry, const char* unit = "0000A1B2C3D4");
  // Calls wdm_callback with a record of `function` (on the world thread).
  PortRecord CallDriver(ULONG function, ULONG parameter1 = 0, ULONG parameter2 = 0);
  void RunFor(int ms);
  MDMContext& Modem() { return Ext(fdo_)->modemContext; }

  // The port side's state (touched on the world thread only).
  struct PortSide {
    std::deque<UCHAR> transmit;  // bytes waiting to be sent
    LONG room = 4096;            // answered to PORT_PUT_MSR
    std::vector<PortSideCall> calls;
    std::vector<UCHAR> received;
    int msrReports = 0;
    UCHAR lastMsr = 0;
    int detaches = 0;
    // Runs inside the callback, after the answer is written: a port side that calls back.
    std::function<void()> inside;
  };
  static PortSide& Port();

  std::shared_ptr<sim::usbdevice::UsbModem> modem_;
  PDEVICE_OBJECT pdo_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
};

}  // namespace driver_test
