// Whole transfers from the sender to the simulated modem's receiver and its flash.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/updater/session/update_harness.h"

namespace update_test {
namespace {

struct ImageCase {
  const char* name;
  std::string bytes;
};

std::string Random(std::size_t size) {
  std::mt19937 random(static_cast<unsigned>(size));
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

class TransferTest : public UpdateHarness, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(TransferTest, TheImageReachesTheFlashIntact) {
  std::ofstream(*image, std::ios::binary | std::ios::trunc) << GetParam().bytes;
  auto modem = AddModem("COM3");
  RunToEnd();
  EXPECT_TRUE(Log().ends_with("\r\nUpdate completed successfully!\r\nUpdate finished!\r\n"))
      << Log();
  modem->WithFirmware([this](auto& firmware) {
    EXPECT_EQ(firmware.flash().image(), ImageBytes());
    EXPECT_EQ(firmware.flash().file().name, "modem.bin");
  });
}

// Blocks in which every byte needs escaping fill the frame area most; they must arrive whole.
INSTANTIATE_TEST_SUITE_P(
    Images, TransferTest,
    ::testing::Values(ImageCase{"OneByte", "X"}, ImageCase{"OneBlock", Random(512)},
                      ImageCase{"OneBlockAndOneByte", Random(513)},
                      ImageCase{"ManyBlocks", Random(70000)},
                      ImageCase{"AllZdle", std::string(512, '\x18')},
                      ImageCase{"AllXon", std::string(1024, '\x11')},
                      ImageCase{"AtCarriageReturns",
                                std::string(600, '@') + std::string(600, '\r')}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace update_test
