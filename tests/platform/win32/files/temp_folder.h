// A fresh folder per test, removed afterwards, and a check that the test closed every handle.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "tests/platform/win32/win32_test.h"

namespace files_test {

using testing_support::OpenHandles;
using testing_support::UnderWine;

class TempFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A name of its own, made by whichever test creates it first (Windows has no mkdtemp).
    std::random_device random;
    for (int attempt = 0; attempt < 100 && folder_.empty(); ++attempt) {
      auto candidate =
          std::filesystem::temp_directory_path() / ("mdm-files-" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate)) folder_ = candidate;
    }
    ASSERT_FALSE(folder_.empty());
    handlesBefore_ = OpenHandles();
  }
  void TearDown() override {
    EXPECT_EQ(OpenHandles(), handlesBefore_) << "a handle was left open";
    std::error_code ignored;
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(folder_, ignored);
  }

  std::string Path(const std::string& name) const { return (folder_ / name).string(); }

  void WriteHostFile(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
  }
  std::string ReadHostFile(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::filesystem::path folder_;
  std::size_t handlesBefore_ = 0;
};

}  // namespace files_test
