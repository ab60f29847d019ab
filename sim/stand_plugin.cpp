// The simulated stand as a library the station loads only for --simulate,
// so the station binary itself carries no simulation code.
#include <cstring>
#include <string>

#include "stand.h"
#include "stand_plugin.h"

namespace {
mdq::sim::Stand g_stand;

void copy_out(const std::string& text, char* out, std::size_t size) {
  if (!out || size == 0) return;
  std::strncpy(out, text.c_str(), size - 1);
  out[size - 1] = '\0';
}
}  // namespace

extern "C" int mdq_stand_start(double rateHz, int boardInProcess, MdqStandInfo* info) {
  mdq::sim::StandOptions options;
  options.triggerRateHz = rateHz;
  options.boardInProcess = boardInProcess != 0;
  const std::string err = g_stand.start(options);
  if (!info) return err.empty() ? 0 : -1;
  copy_out(err, info->error, sizeof info->error);
  copy_out(g_stand.driverPath(), info->driverPath, sizeof info->driverPath);
  info->tcpPort = g_stand.tcpPort();
  info->udpPort = g_stand.udpPort();
  return err.empty() ? 0 : -1;
}

extern "C" unsigned long long mdq_stand_triggers() { return g_stand.triggers().generated(); }

extern "C" void mdq_stand_stop() { g_stand.stop(); }
