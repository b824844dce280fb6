// The fixture of the whole update sessions through the driver stack: a fresh platform root,
// images written into it, modems with serial numbers in order, and the driver verifier's
// findings checked after every test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/wdm/verifier.h"
#include "tests/support/temp_root.h"
#include "tools/mdmsim/rig.h"
#include "tools/mdmsim/serial_update.h"
#include "tools/mdmsim/usb_update.h"

class UsbUpdateTest : public ::testing::Test {
 protected:
  void TearDown() override {
    std::string all;
    for (const std::string& violation : recorder_.Violations()) all += violation + "\n";
    EXPECT_TRUE(all.empty()) << "driver verifier:\n" << all;
  }

  std::string WriteImage(const std::string& name, std::size_t size, unsigned seed) {
    std::string path = (root_.path() / name).string();
    mdmsim::WriteRandomImage(path, size, seed);
    return path;
  }

  static mdmsim::UsbModemSetup Modem(int index, bool hasModemCode = true) {
    return {{mdmsim::SerialFor(index), u"USB Modem", true}, {.hasModemCode = hasModemCode}};
  }

  platform::wdm::verifier::Recorder recorder_;
  testing_support::TempRoot root_;
};
