// Runs the station headless with an operator script and collects what it
// printed.
#pragma once

#include <filesystem>
#include <string>

struct StationResult {
  int exitCode = -1;
  std::string output;
};

// The station remembers its panel in $XDG_CONFIG_HOME: each run gets an empty
// one of its own unless `configHome` names the one to use (a restart).
StationResult run_station(const std::string& script, const std::string& extraArgs = "",
                          int timeoutSeconds = 120, const std::string& configHome = "");

// A fresh directory removed at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};
