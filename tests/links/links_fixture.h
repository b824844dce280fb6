// A fresh platform root per test (MDM_ROOT), the debugger output captured, the shell stand-in's
// records cleared, and checks that nothing was left open or alive.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/shell/shell_state.h"
#include "platform/win32/debug.h"
#include "platform/win32/objects.h"
#include "tests/support/lnk_reader.h"

namespace links_test {

class LinksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "mdm-links-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    if (const char* old = std::getenv("MDM_ROOT")) savedRoot_ = old;
    UseRoot(root_);
    platform::shell::ClearChangeNotices();
    handlesBefore_ = platform::win32::OpenHandleCount();
  }
  void TearDown() override {
    EXPECT_EQ(platform::win32::OpenHandleCount(), handlesBefore_) << "a handle was left open";
    EXPECT_EQ(platform::shell::LiveShellLinks(), 0u) << "a shell link was not released";
    platform::shell::SetSpecialFolder(CSIDL_PROGRAMS, std::nullopt);
    if (savedRoot_) {
      ::setenv("MDM_ROOT", savedRoot_->c_str(), 1);
    } else {
      ::unsetenv("MDM_ROOT");
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
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
  std::optional<std::string> savedRoot_;
  std::size_t handlesBefore_ = 0;
  platform::win32::debug::Capture debug_;
};

}  // namespace links_test
