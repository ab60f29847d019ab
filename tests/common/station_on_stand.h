// The station brought onto the simulated stand as `mdq --simulate` brings
// it: the crate opened through the stand's driver library, the board link
// pointed at the stand's emulator, the board's configuration loaded and the
// board initialised. Shared by the tests and the benchmarks (no gtest here).
#pragma once

#include <string>

#include "board_link.h"
#include "dispatch.h"
#include "easiroc.h"
#include "stand.h"
#include "wienvme_dll.h"

namespace mdq::standup {

// `link` carries the caller's pauses and time-outs; the board link points at
// the stand. Empty on success, else what failed.
inline std::string station_onto_stand(const mdq::sim::Stand& stand, EasirocSettings link) {
  wienvme_set_driver_path(stand.driverPath().c_str());
  crate_startup();
  board_link().address = "127.0.0.1";
  board_link().tcpPort = stand.tcpPort();
  easiroc_settings() = link;
  if (easiroc_LoadIni(MDQ_SOURCE_DIR "/EASIROCini/EASIROC.ini") != 1)
    return "the board's configuration file did not load";
  if (easiroc_Init("127.0.0.1", 3) != 0) return "the board did not initialise";
  return {};
}

inline void station_off_stand() {
  if (easiroc_Connected()) easiroc_Close();
  crate_shutdown();
  wienvme_set_driver_path(nullptr);
}

}  // namespace mdq::standup
