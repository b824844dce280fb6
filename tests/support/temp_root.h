// A fresh platform root for one test: a temporary folder set as MDM_ROOT, removed afterwards.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/base/root.h"

namespace testing_support {

class TempRoot {
 public:
  TempRoot() { EXPECT_FALSE(root_.path().empty()) << "no temporary platform root could be made"; }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::filesystem::path& path() const { return root_.path(); }
  std::filesystem::path file() const { return path() / "registry.reg"; }

  std::string Read() const {
    std::ifstream in(file(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void Write(const std::string& text) const { std::ofstream(file(), std::ios::binary) << text; }

 private:
  platform::TemporaryRoot root_;
};

}  // namespace testing_support
