#include "station.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

TempDir::TempDir() {
  char tmpl[] = "/tmp/mdq_e2e_XXXXXX";
  path_ = mkdtemp(tmpl);
}
TempDir::~TempDir() { fs::remove_all(path_); }

StationResult run_station(const std::string& script, const std::string& extraArgs,
                          int timeoutSeconds, const std::string& configHome) {
  std::unique_ptr<TempDir> ownConfig;
  if (configHome.empty()) ownConfig = std::make_unique<TempDir>();
  const std::string config = configHome.empty() ? ownConfig->path().string() : configHome;
  static int n = 0;
  fs::path sfile = fs::temp_directory_path() /
                   ("mdq_script_" + std::to_string(::getpid()) + "_" + std::to_string(n++) + ".txt");
  std::ofstream(sfile) << script;
  // `timeout` guards the test run itself: a hung station fails, never blocks CI.
  // From the project root, where the board's configuration file lives.
  std::string cmd = "cd '" MDQ_SOURCE_DIR "' && XDG_CONFIG_HOME='" + config +
                    "' QT_QPA_PLATFORM=offscreen timeout -k 5 " + std::to_string(timeoutSeconds) +
                    " '" MDQ_STATION "' --headless --simulate --script '" + sfile.string() + "' " + extraArgs +
                    " 2>&1";
  StationResult r;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t k;
  while ((k = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, k);
  int st = pclose(p);
  r.exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  fs::remove(sfile);
  return r;
}
