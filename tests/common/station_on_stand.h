// The station brought onto the simulated stand as `mdq --simulate` brings
// it: the crate opened through the stand's driver library, the board link
// pointed at the stand's emulator, the board's configuration loaded and the
// board initialised. Shared by the tests and the benchmarks (no gtest here).
#pragma once

#include <string>

#include "board_link.h"
#include "dispatch.h"
#include "easiroc.h"
#include "mdq_ui.h"
#include "platform.h"
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

// Run settings of a plain one-position run of 10 saved events into `base`:
// no suppression, no time step, no TDC word dump, RUN off.
inline void reset_run_settings(const std::string& base) {
  for (int c : {P1_XY, P1_PED, P1_STEP_MINUTES, P1_FMAX, P1_SUPPRESS, P1_TDCMIN,
                P1_DBG_TDC_TERM, P1_DBG_TDC_FILE, P1_EVENT, P1_IX, P1_IY, P1_XSET, P1_YSET,
                P1_X0, P1_DX, P1_Y0, P1_DY, P1_OVERWRITE})
    SetCtrlVal(p1h, c, 0);
  SetCtrlVal(p1h, P1_FRAC, 1.0);
  SetCtrlVal(p1h, P1_NX, 1);
  SetCtrlVal(p1h, P1_NY, 1);
  SetCtrlVal(p1h, P1_NEV, 10);
  SetCtrlVal(p1h, P1_SAVE, 1);
  SetCtrlVal(p1h, P1_FILE, base.c_str());
  SetCtrlVal(p1h, P1_RUN, 0);
}

}  // namespace mdq::standup
