#include "tests/driver/support/port_side.h"

#include <utility>

#include "platform/vxd/flat.h"

namespace driver_test {
namespace vxd = platform::vxd;

EngineTest::PortSide& EngineTest::Port() {
  static PortSide port;
  return port;
}

namespace {

void PortCallbackForTest(ULONG, ULONG address) {
  auto* record = vxd::FromFlat<PortRecord>(address);
  ASSERT_NE(record, nullptr);
  EngineTest::PortSide& port = EngineTest::Port();
  PortSideCall call{record->function, record->parameter1, {}};
  switch (record->function) {
    case PORT_PUT_MSR:
      ++port.msrReports;
      port.lastMsr = static_cast<UCHAR>(record->parameter1 >> 8);
      record->parameter1 = static_cast<ULONG>(port.room);
      record->result = static_cast<ULONG>(port.transmit.size());
      break;
    case PORT_GET_DATA: {
      auto* area = static_cast<UCHAR*>(vxd::FromFlat(record->parameter1, 63));
      ASSERT_NE(area, nullptr);
      UCHAR count = 0;
      while (count < area[0] && !port.transmit.empty()) {
        area[1 + count++] = port.transmit.front();
        port.transmit.pop_front();
      }
      area[0] = count;
      call.bytes.assign(area + 1, area + 1 + count);
      break;
    }
    case PORT_PUT_DATA: {
      auto* area = static_cast<UCHAR*>(vxd::FromFlat(record->parameter1, 1));
      ASSERT_NE(area, nullptr);
      auto* bytes = static_cast<UCHAR*>(vxd::FromFlat(record->parameter1, 1 + area[0]));
      ASSERT_NE(bytes, nullptr);
      call.bytes.assign(bytes + 1, bytes + 1 + area[0]);
      port.received.insert(port.received.end(), bytes + 1, bytes + 1 + area[0]);
      break;
    }
    case PORT_DETACH:
      ++port.detaches;
      break;
  }
  port.calls.push_back(std::move(call));
  if (port.inside) std::exchange(port.inside, nullptr)();
}

}  // namespace

void EngineTest::SetUp() {
  DriverTest::SetUp();
  Port() = PortSide{};
  ASSERT_EQ(Load(), STATUS_SUCCESS);
}

void EngineTest::StartModem(sim::modem::Behaviour behaviour) {
  modem_ = std::make_shared<sim::usbdevice::UsbModem>(ModemIdentity{}, std::move(behaviour));
  pdo_ = Plug(modem_);
  fdo_ = Add(pdo_);
  ASSERT_NE(fdo_, nullptr);
  ASSERT_EQ(pnp::StartDevice(pdo_), STATUS_SUCCESS);
}

PortRecord EngineTest::AttachPort(const char* unit) {
  return AttachPort(ByAttach, unit);
}

PortRecord EngineTest::AttachPort(AttachEntry entry, const char* unit) {
  PortRecord record{};
  world().Call([&] {
    std::string name = unit;
    vxd::FlatScope flatName(name.c_str(), name.size() + 1);
    record.function = WDM_ATTACH;
    record.unitName = flatName.flat();
    record.parameter1 = 0x1234;
    record.parameter2 = vxd::EntryToFlat<PortCallbackType>(&PortCallbackForTest);
    vxd::FlatScope flat(record);
    if (entry == ByPoll) {
      PollFnForVxD(flat.flat());
    } else {
      wdm_disp_fn(flat.flat());
    }
  });
  return record;
}

PortRecord EngineTest::CallDriver(ULONG function, ULONG parameter1, ULONG parameter2) {
  PortRecord record{};
  world().Call([&] {
    record.function = function;
    record.parameter1 = parameter1;
    record.parameter2 = parameter2;
    vxd::FlatScope flat(record);
    wdm_callback(vxd::ToFlat(fdo_), flat.flat());
  });
  return record;
}

void EngineTest::RunFor(int ms) {
  platform::clock::SleepFor(platform::clock::Milliseconds(ms));
}

}  // namespace driver_test
