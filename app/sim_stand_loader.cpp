#include "sim_stand_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "platform.h"
#include "stand_plugin.h"

namespace {

void* g_lib = nullptr;
decltype(&mdq_stand_stop) g_stop = nullptr;
decltype(&mdq_stand_triggers) g_triggers = nullptr;

std::string beside_executable(const char* name) {
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return name;
  std::string dir(exe, static_cast<std::size_t>(n));
  return dir.substr(0, dir.find_last_of('/') + 1) + name;
}

}  // namespace

bool sim_stand_load(StationSettings& s) {
  const std::string path = beside_executable("libmdq_stand.so");
  g_lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!g_lib) {
    const char* err = dlerror();
    con_printf("Simulated test stand: cannot load %s (%s)\n", path.c_str(), err ? err : "?");
    return false;
  }
  auto start = reinterpret_cast<decltype(&mdq_stand_start)>(dlsym(g_lib, "mdq_stand_start"));
  g_stop = reinterpret_cast<decltype(&mdq_stand_stop)>(dlsym(g_lib, "mdq_stand_stop"));
  g_triggers = reinterpret_cast<decltype(&mdq_stand_triggers)>(dlsym(g_lib, "mdq_stand_triggers"));
  if (!start || !g_stop || !g_triggers) {
    con_printf("Simulated test stand: %s lacks its entry points\n", path.c_str());
    return false;
  }
  // An explicit board address means a board (or mdq-sim) elsewhere.
  const bool boardInProcess = s.board.address.empty();
  MdqStandInfo info{};
  if (start(s.simRateHz, boardInProcess ? 1 : 0, &info) != 0) {
    con_printf("Simulated test stand: %s\n", info.error);
    return false;
  }
  if (s.driverPath.empty()) s.driverPath = info.driverPath;
  if (boardInProcess) {
    s.board.address = "127.0.0.1";
    s.board.tcpPort = info.tcpPort;
    s.board.udpPort = info.udpPort;
  }
  con_printf("Simulated test stand: crate driver %s, board %s tcp=%d udp=%d, triggers %.0f Hz\n",
             s.driverPath.c_str(), s.board.address.c_str(), s.board.tcpPort, s.board.udpPort,
             s.simRateHz);
  return true;
}

void sim_stand_unload() {
  if (!g_lib) return;
  con_printf("Simulated test stand: %llu trigger(s) generated\n", g_triggers());
  g_stop();
  // The library stays mapped: the crate driver loaded beside it shares its
  // trigger source until the process ends.
  g_lib = nullptr;
}
