// A fresh platform root for one test: a temporary folder set as MDM_ROOT, removed afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace testing_support {

class TempRoot {
 public:
  TempRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mdm-root-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
    if (const char* old = std::getenv("MDM_ROOT")) previous_ = old;
    ::setenv("MDM_ROOT", path_.c_str(), 1);
  }
  ~TempRoot() {
    if (previous_) {
      ::setenv("MDM_ROOT", previous_->c_str(), 1);
    } else {
      ::unsetenv("MDM_ROOT");
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path file() const { return path_ / "registry.reg"; }

  std::string Read() const {
    std::ifstream in(file(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void Write(const std::string& text) const { std::ofstream(file(), std::ios::binary) << text; }

 private:
  std::filesystem::path path_;
  std::optional<std::string> previous_;
};

}  // namespace testing_support
