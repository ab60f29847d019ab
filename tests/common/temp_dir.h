// A scratch directory under /tmp for one test, removed with everything in
// it when the test is done; and a file's whole text.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace mdq::test {

class TempDir {
 public:
  // `tag` names the test's files in /tmp: /tmp/mdq_<tag>_XXXXXX.
  explicit TempDir(const std::string& tag) {
    std::string tmpl = "/tmp/mdq_" + tag + "_XXXXXX";
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace mdq::test
