// The shell-execute packet: however long its texts, every string stays inside the 288 bytes and
// the strings still end with their NULs and the final NUL.
#include <gtest/gtest.h>

#include <string>

#include "driver/install/install.h"
#include "platform/vxd/shell.h"

namespace {

// The string that starts at `at` in the packet, up to its NUL.
std::string StringAt(DWORD at) {
  EXPECT_LT(at, kExecPacketSize);
  return std::string(exec_packet.bytes + at);
}

TEST(ShellPacket, LongTextsAreCutToFitTheirNulsAndTheFinalNul) {
  for (std::size_t length : {253u, 254u, 260u, 300u}) {
    SCOPED_TRACE(length);
    const std::string name(length, 'F');
    const std::string serial(length, 'S');
    platform::vxd::shell::ClearLaunches();
    VxD_shell_execute(name.c_str(), serial.c_str(), "Modem");
    const SHEXPACKET& header = exec_packet.header;
    // 32 header bytes; the name takes at most 253 bytes, so that its NUL, an empty parameter
    // string and the final NUL fit.
    std::string file = StringAt(header.ibFile);
    EXPECT_EQ(file, name.substr(0, 253));
    EXPECT_EQ(header.ibParams, header.ibFile + file.size() + 1);
    std::string parameters = StringAt(header.ibParams);
    EXPECT_LE(header.ibParams + parameters.size() + 2, kExecPacketSize);
    EXPECT_EQ(exec_packet.bytes[kExecPacketSize - 1], '\0');
    EXPECT_EQ(exec_packet.bytes[header.ibParams + parameters.size() + 1], '\0');
    auto launches = platform::vxd::shell::Launches();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].file, file);
    EXPECT_EQ(launches[0].parameters, parameters);
  }
}

TEST(ShellPacket, ParametersAreCutWhereThePacketEnds) {
  const std::string serial(300, 'S');
  VxD_shell_execute("MDMINST.EXE", serial.c_str(), "Modem");
  const SHEXPACKET& header = exec_packet.header;
  EXPECT_EQ(header.ibParams, 44u);
  // 288 bytes less 44 before the parameters, their NUL and the final NUL.
  EXPECT_EQ(StringAt(header.ibParams), serial.substr(0, 288 - 44 - 2));

  VxD_shell_execute("MDMINST.EXE", std::string(240, 'S').c_str(), "Modem");
  EXPECT_EQ(StringAt(header.ibParams), std::string(240, 'S') + "#M");
}

}  // namespace
