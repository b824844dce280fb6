// A fresh platform root per test (MDM_ROOT), the debugger output captured, the shell stand-in's
// records cleared, and checks that nothing was left open or alive.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/base/root.h"
#include "platform/shell/shell_state.h"
#include "platform/win32/debug.h"
#include "platform/win32/objects.h"
#include "tests/support/lnk_reader.h"

namespace links_test {

class LinksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temporaryRoot_.emplace("mdm-links-");
    root_ = temporaryRoot_->path();
    ASSERT_FALSE(root_.empty());
    platform::shell::ClearChangeNotices();
    handlesBefore_ = platform::win32::OpenHandleCount();
  }
  void TearDown() override {
    EXPECT_EQ(platform::win32::OpenHandleCount(), handlesBefore_) << "a handle was left open";
    EXPECT_EQ(platform::shell::LiveShellLinks(), 0u) << "a shell link was not released";
    platform::shell::SetSpecialFolder(CSIDL_PROGRAMS, std::nullopt);
    temporaryRoot_.reset();  // MDM_ROOT back as it was, whatever UseRoot set
  }

  static void UseRoot(const std::filesystem::path& root) { ::setenv("MDM_ROOT", root.c_str(), 1); }
  // The platform's spelling of a host path under the temporary root (absolute already).
  static std::string Platform(const std::filesystem::path& host) {
    std::string path = host.string();
    for (char& c : path) c = c == '/' ? '\\' : c;
    return path;
  }
  std::filesystem::path Programs() const { return root_ / "Start Menu" / "Programs"; }
  std::filesystem::path Group() const { return Programs() / "USB Modem Utility 02"; }

  static LinkFile Decode(const std::filesystem::path& file) {
    std::string error;
    std::optional<LinkFile> link = ReadLinkFile(file.string(), error);
    EXPECT_TRUE(link) << file << ": " << error;
    return link.value_or(LinkFile{});
  }

  std::filesystem::path root_;
  std::optional<platform::TemporaryRoot> temporaryRoot_;
  std::size_t handlesBefore_ = 0;
  platform::win32::debug::Capture debug_;
};

}  // namespace links_test
