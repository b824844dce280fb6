// mdmcore over the libusb host controller while the emulated bus misbehaves as a kernel reports
// it (the faults of mdmsim's catalogue, on the real path): data packets and transfers failing on
// the bus are ridden out through the COM port with nothing lost or doubled; failed commands are
// counted, and the fourth ends control traffic while data flows on; a stalled bulk pipe, which
// the driver never clears, ends control traffic the same way without a hang or a leak.
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "tests/usbfs/driver_fixture.h"
#include "tools/mdmsim/stalls.h"

namespace {

namespace pnp = platform::wdm::pnp;
using namespace std::chrono_literals;

constexpr UCHAR kCommandPipe = 0x04;
constexpr UCHAR kIndicationPipe = 0x83;
constexpr UCHAR kDataInPipe = 0x85;
constexpr UCHAR kDataOutPipe = 0x06;

class BusFaults : public tests::usbfs::DriverOverLibusb {
 protected:
  template <typename Fn>
  auto Modem(Fn&& fn) {
    return testbed.WithDevices(fn);
  }

  void SetUp() override {
    DriverOverLibusb::SetUp();
    if (HasFatalFailure()) return;
    extension = Start();
    ASSERT_NE(extension, nullptr);
    ASSERT_NO_FATAL_FAILURE(OpenCom());
    // The opening's line settings and DTR have reached the modem.
    ASSERT_TRUE(Eventually([&] { return Modem([&] { return modem->line().dtr; }); }));
    std::this_thread::sleep_for(100ms);
  }

  std::size_t Commands() {
    return Modem([&] { return modem->commands().size(); });
  }
  ULONG ControlFailures() {
    return OnProcessor([&] { return extension->modemContext.control.failures; });
  }
  ULONG ControlPending() {
    return OnProcessor([&] { return extension->modemContext.modemControlPending; });
  }
  static void SetDtr(bool on) { EscapeCommFunction(commPortSession.port, on ? SETDTR : CLRDTR); }

  // ati9 answered through the port: data flows.
  static void ExpectAti9Answered() {
    Write("ati9\r\n");
    std::string answer = ReadUntil("OK");
    EXPECT_NE(answer.find("USB high power, bus-powered function"), std::string::npos) << answer;
  }

  // The driver stops and is removed cleanly (the tear-down checks the pool and the verifier).
  void StopAndRemove() {
    CloseCom();
    EXPECT_EQ(pnp::StopDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(pnp::RemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
  }

  DEVICE_EXTENSION* extension = nullptr;
};

// ---- Data packets and transfers failing on the bus -------------------------------------------

struct DataFault {
  const char* name;
  UCHAR endpoint;
  bool wholeTransfers;  // the URB fails, or one of its packets
  int error;
  int count;  // struck again before every piece of the exchange
  // The host stalls the kernel's processor and the bus's frames for up to 50 ms at a time
  // meanwhile, as a busy machine does.
  bool stalls = false;
};

class DataFaults : public BusFaults, public ::testing::WithParamInterface<DataFault> {
 protected:
  void Strike() {
    const DataFault& fault = GetParam();
    if (fault.wholeTransfers) {
      testbed.FailTransfers(device, fault.endpoint, fault.error, fault.count);
    } else {
      testbed.FailPackets(device, fault.endpoint, fault.error, fault.count);
    }
  }
  // Reads until `count` bytes have come (bounded: a busy host that stalls the processor and the
  // bus slows the echo down a lot, but loses nothing).
  static std::string ReadBytes(std::size_t count) {
    std::string back;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (back.size() < count && std::chrono::steady_clock::now() < deadline) {
      LONG got = ReadFromComm(ModemReplyBuffer, kModemReplyBufferSize, 1000);
      if (got > 0) back.append(reinterpret_cast<char*>(ModemReplyBuffer), got);
    }
    return back;
  }
};

// A long command line goes to the modem piece by piece, and the modem echoes every byte: the
// faults strike in the middle of every piece, both ways, and the echo comes back byte for byte,
// nothing lost, doubled or out of order; the modem rejected no data-out packet as a repeat.
TEST_P(DataFaults, AreRiddenOutWithTheEchoComingBackByteForByte) {
  constexpr std::size_t kLength = 2400;
  constexpr std::size_t kPiece = 300;
  std::mt19937 random(7);
  const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWYZ0123456789";  // no 'x': no download
  std::string text;
  for (std::size_t i = 0; i < kLength; ++i) text += kAlphabet[random() % kAlphabet.size()];
  std::optional<mdmsim::ProcessorStalls> stalls;
  if (GetParam().stalls) {
    constexpr mdmsim::StallPlan kStalls{25, 20};
    stalls.emplace(kStalls, 2800);
    testbed.Stall(kStalls, 2801);
  }
  std::string back;
  for (std::size_t at = 0; at < text.size(); at += kPiece) {
    Strike();
    Write(text.substr(at, kPiece));
    back += ReadBytes(at + kPiece - back.size());
    ASSERT_EQ(back.size(), at + kPiece)
        << "the echo stopped at byte " << back.size() << "; data-out packets the modem rejected: "
        << Modem([&] { return modem->rejectedPackets(); });
    EXPECT_EQ(testbed.FailuresLeft(device, GetParam().endpoint), 0) << "the fault never struck";
  }
  Write("\r");
  back += ReadUntil("ERROR\r\n");
  EXPECT_EQ(back, text + "\r\r\nERROR\r\n");
  EXPECT_EQ(Modem([&] { return modem->rejectedPackets(); }), 0);
  EXPECT_EQ(ControlFailures(), 0u);
  StopAndRemove();
}

INSTANTIATE_TEST_SUITE_P(
    OnTheBus, DataFaults,
    ::testing::Values(
        // "data-in-errors": packets the controller missed; the modem keeps their bytes.
        DataFault{"DataInPacketsMissed", kDataInPipe, false, -EXDEV, 10},
        DataFault{"DataInTransfersWithADataError", kDataInPipe, true, -EPROTO, 3},
        // "data-out-errors": the driver sends each failed transfer again, the same 64 bytes.
        DataFault{"DataOutTransfersWithADataError", kDataOutPipe, true, -EPROTO, 5},
        DataFault{"DataOutTransfersWithADataErrorWhileTheHostStalls", kDataOutPipe, true, -EPROTO,
                  5, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The command pipe
// ----------------------------------------------------------------------------

// "control-failure": a command failing on the bus never reaches the modem and is not sent
// again (the modem keeps the DTR it had); the driver counts it, and the next command goes
// through.
TEST_F(BusFaults, ACommandFailingOnTheBusIsCountedAndTheNextReachesTheModem) {
  std::size_t before = Commands();
  testbed.FailTransfers(device, kCommandPipe, -EPROTO, 1);
  SetDtr(false);
  ASSERT_TRUE(Eventually([&] { return ControlFailures() == 1; }));
  EXPECT_EQ(Commands(), before);
  EXPECT_TRUE(Modem([&] { return modem->line().dtr; }));
  EXPECT_EQ(ControlPending(), 0u);
  SetDtr(false);
  EXPECT_TRUE(Eventually([&] { return !Modem([&] { return modem->line().dtr; }); }));
  SetDtr(true);
  EXPECT_TRUE(Eventually([&] { return Modem([&] { return modem->line().dtr; }); }));
  EXPECT_EQ(Commands(), before + 2);
  EXPECT_EQ(ControlFailures(), 1u);
  ExpectAti9Answered();
  StopAndRemove();
}

// The fourth failed control transfer ends control traffic for good: a later command stays
// pending and never reaches the modem, while data flows on.
TEST_F(BusFaults, FourFailedCommandsEndControlTrafficWhileDataFlows) {
  std::size_t before = Commands();
  testbed.FailTransfers(device, kCommandPipe, -EPROTO, kControlFailureLimit);
  for (ULONG i = 1; i <= kControlFailureLimit; ++i) {
    SetDtr(i % 2 == 0);
    ASSERT_TRUE(Eventually([&] { return ControlFailures() == i; })) << "command " << i;
  }
  EXPECT_EQ(testbed.FailuresLeft(device, kCommandPipe), 0);
  SetDtr(false);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(ControlPending(), 1u);
  EXPECT_EQ(Commands(), before);
  EXPECT_TRUE(Modem([&] { return modem->line().dtr; }));
  ExpectAti9Answered();
  StopAndRemove();
}

// ---- A stalled bulk pipe ---------------------------------------------------------------------

// The driver never clears a halt (no CLEAR_HALT reaches usbfs): every command on the stalled
// command pipe fails, one stall is enough to reach the limit, and control traffic ends. Data
// flows on, and the driver stops with nothing left behind.
TEST_F(BusFaults, AStalledCommandPipeEndsControlTrafficWithoutAHangOrALeak) {
  std::size_t before = Commands();
  testbed.FailTransfers(device, kCommandPipe, -EPIPE, 1);
  for (ULONG i = 1; i <= kControlFailureLimit; ++i) {
    SetDtr(i % 2 == 0);
    ASSERT_TRUE(Eventually([&] { return ControlFailures() == i; })) << "command " << i;
  }
  SetDtr(false);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(ControlPending(), 1u);
  EXPECT_EQ(Commands(), before);
  EXPECT_EQ(testbed.Requests()[USBDEVFS_CLEAR_HALT], 0);
  ExpectAti9Answered();
  StopAndRemove();
}

// An indication waiting behind a stalled indication pipe: the flag stays set, so the driver
// reads again at every status packet until the fourth stall ends control traffic, the command
// pipe's too. The indication is never read, the reads stop, data flows on, and the driver stops
// with nothing left behind.
TEST_F(BusFaults, AStalledIndicationPipeEndsControlTrafficWithoutAHangOrALeak) {
  std::size_t before = Commands();
  testbed.FailTransfers(device, kIndicationPipe, -EPIPE, 1);
  Modem([&] {
    modem->QueueIndication(sim::usbdevice::UsbModem::FlowSettings(0x11, 0x13, 1, 1, 0, 0, 0));
    return 0;
  });
  ASSERT_TRUE(Eventually([&] { return ControlFailures() == kControlFailureLimit; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(ControlFailures(), kControlFailureLimit) << "reads went on after the limit";
  EXPECT_EQ(OnProcessor([&] { return extension->modemContext.readSoftFlow; }), 0u);
  EXPECT_EQ(testbed.Requests()[USBDEVFS_CLEAR_HALT], 0);
  SetDtr(false);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(ControlPending(), 1u);
  EXPECT_EQ(Commands(), before);
  ExpectAti9Answered();
  StopAndRemove();
}

}  // namespace
