// Where the simulated VME driver library is, for `--simulate` and tests.
// Link the interface target mdq_sim_driver to get this header and the path.
#pragma once

#include <unistd.h>

#include <climits>
#include <string>

namespace mdq::sim {

// The library as built; when that file is gone (a moved build), the library
// beside the running executable.
inline std::string simulated_driver_path() {
  const std::string built = MDQ_SIM_DRIVER_PATH;
  if (access(built.c_str(), R_OK) == 0) return built;
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return built;
  std::string dir(exe, static_cast<std::size_t>(n));
  dir.erase(dir.find_last_of('/') + 1);
  return dir + MDQ_SIM_DRIVER_NAME;
}

}  // namespace mdq::sim
