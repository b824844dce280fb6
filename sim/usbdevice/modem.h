// The modem as a USB device: identity "USB\VID_F3A9&PID_5201", product and serial-number
// strings, and configuration index 1 with one interface and five endpoints: 0x81, 0x85, 0x06
// (isochronous; 8, 64, 64 bytes) and 0x83, 0x04 (bulk; 32 bytes). Index 0 is a configuration
// without endpoints. Behind the endpoints sits the modem's firmware (the same AT dialogue and
// ZModem receiver as on the serial line, and its calls on a phone line): a status packet every
// frame, data packets both ways, commands and indications (modem_stream.cpp). The wire layouts
// are declared here from their bytes, as a device's own firmware would.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock/clock.h"
#include "sim/modem/firmware.h"

#include "sim/usbdevice/byte_digest.h"
#include "sim/usbdevice/device.h"

namespace sim::usbdevice {

constexpr USHORT kModemVendor = 0xF3A9;
constexpr USHORT kModemProduct = 0x5201;
constexpr UCHAR kManufacturerIndex = 1;
constexpr UCHAR kProductIndex = 2;
constexpr UCHAR kSerialIndex = 3;

struct ModemIdentity {
  std::u16string serial = u"0000A1B2C3D4";
  std::u16string product = u"USB Modem";
  bool hasSerial = true;  // false: the device descriptor names string 0 as the serial number
};

// The modem's five endpoints, in the order of its configuration descriptor.
std::vector<Endpoint> ModemEndpoints();
Descriptors ModemDescriptors(const ModemIdentity& identity);

// Faults a test can switch on; all off by default.
struct ModemFaults {
  int sequenceGaps = 0;                // the next n status packets skip one sequence number each
  int zeroSequenceRun = 0;             // the next n status packets carry sequence 0 (no status)
  bool stuckIndication = false;        // the indication flag stays set with nothing queued
  bool silentIndication = false;       // the flag is set and the indication read never answered
  int oversizedDataIn = 0;             // the next n data-in packets carry a length above 62
  std::optional<ULONG> forcedTxLevel;  // reported transmit level instead of the real one
  ULONG drainPerFrame = 0;             // host bytes the firmware takes per frame (0: all at once)
};

// What the modem was told through its command pipe.
struct ModemLine {
  ULONG rate = 0;
  UCHAR format[3] = {};
  bool dtr = false;
  bool rts = false;
};

class UsbModem : public DescribedDevice {
 public:
  static constexpr UCHAR kLineCts = 0x01;
  static constexpr UCHAR kLineDsr = 0x02;
  static constexpr UCHAR kLineRing = 0x04;
  static constexpr UCHAR kLineDcd = 0x08;

  explicit UsbModem(const ModemIdentity& identity = {}, modem::Behaviour behaviour = {});

  USBD_STATUS IsoIn(UCHAR endpoint, ULONG frame, std::span<BYTE> data, ULONG& length) override;
  USBD_STATUS IsoOut(UCHAR endpoint, ULONG frame, std::span<const BYTE> data) override;
  std::optional<ULONG> BulkIn(UCHAR endpoint, std::span<BYTE> data) override;
  bool BulkOut(UCHAR endpoint, std::span<const BYTE> data) override;

  // All of the following on the world thread.
  // Gives the modem a number on the phone line (false: taken). The modem takes the line's
  // events for it in its per-frame work, on the world thread.
  bool PlugIntoLine(std::shared_ptr<modem::PhoneLine> line, std::string number);
  modem::Firmware& firmware() { return firmware_; }
  ModemFaults& faults() { return faults_; }
  const ModemLine& line() const { return line_; }
  // The line bits as given; CTS, RI and DCD of the status packet follow the firmware too.
  UCHAR& lineBits() { return lineBits_; }
  // The last kCommandsKept commands as the modem received them (32 bytes each), oldest first:
  // a modem served for days keeps no record of every command.
  static constexpr std::size_t kCommandsKept = 256;
  const std::deque<std::vector<BYTE>>& commands() const { return commands_; }
  // Queues a 32-byte indication; the status flag shows it until the host has read it.
  void QueueIndication(std::vector<BYTE> message);
  static std::vector<BYTE> FlowSettings(UCHAR xon, UCHAR xoff, UCHAR writeSoft, UCHAR readSoft,
                                        UCHAR keep, UCHAR writeHard, UCHAR readHard);
  static std::vector<BYTE> DebugText(std::string_view text, bool hex);
  // Bytes the modem holds for the host, and host bytes not yet taken by the firmware.
  std::size_t heldForHost() const { return toHost_.size(); }
  std::size_t heldFromHost() const { return fromHost_.size(); }
  // Data-out packets whose sequence byte was not the one the modem asked for (dropped).
  int rejectedPackets() const { return rejected_; }
  // Data-in payload bytes that reached the host, and host bytes that reached the firmware.
  std::uint64_t bytesToHost() const { return sentToHost_; }
  std::uint64_t bytesFromHost() const { return takenFromHost_; }
  // Every payload byte of the data-out packets the modem took, in order.
  const ByteDigest& fromHostDigest() const { return fromHostDigest_; }
  // Status packets the host has fetched.
  std::uint64_t statusPackets() const { return statusPackets_; }

 private:
  void StatusPacket(std::span<BYTE> data, ULONG& length);
  void DataInPacket(std::span<BYTE> data, ULONG& length);
  void Command(std::span<const BYTE> data);
  // Moves the firmware's answers that are due into the queue for the host, and hands the
  // firmware the host's bytes it has taken by now.
  void Advance();
  void Feed(std::span<const BYTE> bytes);
  void Queue(std::vector<modem::Output>& out);
  UCHAR LineByte() const;
  void ReportFlow();

  modem::Firmware firmware_;
  ModemFaults faults_;
  ModemLine line_;
  UCHAR lineBits_ = kLineCts | kLineDsr;
  UCHAR statusSequence_ = 0;
  std::uint64_t statusPackets_ = 0;
  UCHAR outSequence_ = 1;
  UCHAR dataSequence_ = 0;
  std::deque<BYTE> fromHost_;
  std::deque<BYTE> toHost_;
  struct Timed {
    platform::clock::Time at;
    std::vector<BYTE> bytes;
  };
  std::deque<Timed> answers_;
  platform::clock::Time answersFree_{};
  std::deque<std::vector<BYTE>> indications_;
  std::optional<modem::Flow> reportedFlow_;  // the flow control last reported, while DTR is on
  std::deque<std::vector<BYTE>> commands_;
  int rejected_ = 0;
  std::uint64_t sentToHost_ = 0;
  std::uint64_t takenFromHost_ = 0;
  ByteDigest fromHostDigest_;
};

}  // namespace sim::usbdevice
