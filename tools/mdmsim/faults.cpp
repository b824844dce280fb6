#include "tools/mdmsim/faults.h"

namespace mdmsim {
namespace {

using sim::modem::Behaviour;
using sim::modem::ZmodemStep;

// Where the bus faults strike: well inside the first data blocks of an image of a few KiB.
constexpr std::uint64_t kMidTransfer = 1500;

ModemFault Firmware(std::string name, std::string help, void (*apply)(Behaviour&),
                    bool riddenOut = false) {
  return {std::move(name), std::move(help), apply, nullptr, 0, riddenOut};
}

ModemFault OnUsb(std::string name, std::string help,
                 void (*onUsb)(sim::world::World&, DriverRig&, RiggedModem&),
                 bool riddenOut = true) {
  return {std::move(name), "(usb) " + std::move(help), nullptr, onUsb, kMidTransfer, riddenOut};
}

const std::vector<ModemFault> kFaults = {
    Firmware("no-prompt", "the modem hangs when asked for download mode",
             [](Behaviour& b) { b.downloadAnswer = ""; }),
    Firmware("no-prompt-text", "the modem answers the download request without \">>>\"",
             [](Behaviour& b) { b.downloadAnswer = "OK"; }),
    Firmware("no-zrinit", "no answer to ZRQINIT",
             [](Behaviour& b) { b.zmodem.silentAt = {ZmodemStep::kZrinit}; }),
    Firmware("binary-zrinit", "ZRINIT as a binary header",
             [](Behaviour& b) { b.zmodem.binaryHeaderAt = {ZmodemStep::kZrinit}; }),
    Firmware("uppercase-zrpos", "ZRPOS with uppercase hex digits",
             [](Behaviour& b) { b.zmodem.uppercaseHexAt = {ZmodemStep::kZrpos}; }),
    Firmware("wrong-zrpos", "another header type instead of ZRPOS",
             [](Behaviour& b) { b.zmodem.wrongTypeAt = {ZmodemStep::kZrpos}; }),
    Firmware(
        "zrpos-elsewhere", "ZRPOS names position 1024 (the sender starts at 0 all the same)",
        [](Behaviour& b) { b.zmodem.zrposPosition = 1024; }, true),
    Firmware("no-ack", "no answer to the first data block",
             [](Behaviour& b) {
               b.zmodem.silentAt = {ZmodemStep::kZack, 1};
             }),
    Firmware("bad-crc-ack", "a bad CRC in the answer to the first data block",
             [](Behaviour& b) {
               b.zmodem.badCrcAt = {ZmodemStep::kZack, 1};
             }),
    Firmware("flash-error", "the flash check reports ERROR",
             [](Behaviour& b) { b.zmodem.flashCheckFails = true; }),
    Firmware("flash-error-twice", "the flash check reports ERROR for the first two transfers",
             [](Behaviour& b) {
               b.zmodem.flashCheckFails = true;
               b.zmodem.faultyTransfers = 2;
             }),
    Firmware("no-final-reply", "nothing after the flash check",
             [](Behaviour& b) { b.zmodem.silentAt = {ZmodemStep::kFinalReply}; }),
    OnUsb("sequence-gaps", "the next 20 status packets each skip a sequence number",
          [](sim::world::World& world, DriverRig&, RiggedModem& modem) {
            world.Call([&] { modem.device->faults().sequenceGaps = 20; });
          }),
    OnUsb("zero-sequence", "a run of 8 status packets without status (sequence 0)",
          [](sim::world::World& world, DriverRig&, RiggedModem& modem) {
            world.Call([&] { modem.device->faults().zeroSequenceRun = 8; });
          }),
    OnUsb("data-in-errors", "10 data-in packets not accessed (0xC000000F) on the bus",
          [](sim::world::World& world, DriverRig&, RiggedModem&) {
            world.Call([&] { world.bus().InjectPacketStatus(0x85, 0xC000000F, 10); });
          }),
    OnUsb("data-out-errors", "5 data-out transfers fail with a data error on the bus",
          [](sim::world::World& world, DriverRig&, RiggedModem&) {
            world.Call([&] {
              world.bus().InjectPacketStatus(0x06, 0xC000000E, 5);
              world.bus().InjectTransferStatus(0x06, USBD_STATUS_XACT_ERROR, 5);
            });
          }),
    OnUsb("control-failure", "the next control transfer fails on the bus",
          [](sim::world::World& world, DriverRig&, RiggedModem&) {
            world.Call([&] { world.bus().InjectTransferStatus(0x04, USBD_STATUS_XACT_ERROR, 1); });
          }),
    OnUsb(
        "unplug", "the modem is pulled out in the middle of its transfer",
        [](sim::world::World&, DriverRig& rig, RiggedModem& modem) { rig.PullOut(modem); }, false),
};

}  // namespace

const std::vector<ModemFault>& ModemFaults() {
  return kFaults;
}

FaultChoice ParseFaultChoice(const std::string& text) {
  FaultChoice choice;
  std::string name = text;
  if (auto at = text.find('@'); at != std::string::npos) {
    name = text.substr(0, at);
    choice.port = text.substr(at + 1);
  }
  for (const ModemFault& fault : kFaults) {
    if (fault.name == name) choice.fault = &fault;
  }
  return choice;
}

UsbEvent EventFor(const ModemFault& fault, std::size_t modem) {
  auto onUsb = fault.onUsb;
  return {modem, fault.afterBytes, [onUsb, modem](sim::world::World& world, DriverRig& rig) {
            onUsb(world, rig, *rig.modems().at(modem));
          }};
}

std::string FaultHelp() {
  std::string text;
  for (const ModemFault& fault : kFaults) text += "  " + fault.name + ": " + fault.help + "\n";
  return text;
}

}  // namespace mdmsim
