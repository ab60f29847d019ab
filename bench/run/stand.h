// The simulated test stand for the run benchmarks: the crate model loaded by
// path through the VME layer, the board emulator on an OS-chosen loopback
// port, both fed by the shared trigger source running unthrottled. Also the
// "I/O floor": the run's bus and link traffic per event with none of the
// station's own work.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "board_emulator.h"
#include "camac.h"
#include "crate.h"
#include "dispatch.h"
#include "daq_run.h"
#include "decode.h"
#include "easiroc.h"
#include "mdq_ui.h"
#include "platform.h"
#include "sim_driver.h"
#include "live_histograms.h"
#include "trigger_source.h"
#include "v1290.h"
#include "wienvme_dll.h"
#include "run_state.h"
#include "board_link.h"

namespace runbench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}


class Stand {
 public:
  // Panel defaults the crate start-up reads when no panel is loaded (with a
  // panel these are already there).
  static void default_tdc_controls() {
    SetCtrlVal(p1h, P1_TDC_WINDOW_WIDTH, 20);
    SetCtrlVal(p1h, P1_TDC_WINDOW_OFFSET, -20);
    SetCtrlVal(p1h, P1_TDC_EXTRA_MARGIN, 8);
    SetCtrlVal(p1h, P1_TDC_EDGE, 3);
  }

  bool up() {
    auto& src = mdq::sim::shared_trigger_source();
    src.reset();
    src.setFreeRunning(false);
    src.setRate(0);  // a trigger as soon as the veto is released
    src.setVeto(true);

    board_ = std::make_unique<mdq::sim::BoardEmulator>();
    board_->setFrameSource(mdq::sim::shared_trigger_frames());
    if (!board_->start()) return false;

    EasirocSettings& es = easiroc_settings();
    board_link().tcpPort = board_->port();
    es.connectTimeoutMs = 1000;
    es.ackPauseUs = 200;
    es.streamBytePauseUs = 0;
    es.startPauseUs = 2000;
    es.frameDump = EasirocSettings::FrameDump::None;

    driver_ = mdq::sim::simulated_driver_path();
    wienvme_set_driver_path(driver_.c_str());
    crate_startup();
    // The crate start-up leaves the PIO output at 0 (veto released); the
    // stand gives one trigger per release, so set the veto as an operator
    // would before the first run. A failing write means no crate.
    unsigned short veto = 1;
    if (WIENVME_write16(hHandle24, 1, PIO_OUTPUT, &veto) != 0) return false;

    (void)easiroc_LoadIni(MDQ_SOURCE_DIR "/EASIROCini/EASIROC.ini");
    if (easiroc_Init("127.0.0.1", 3) != 0) return false;

    dir_ = std::filesystem::temp_directory_path() / ("mdq_bench_run_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    return true;
  }

  void down() {
    if (easiroc_Connected()) easiroc_Close();
    crate_shutdown();
    if (board_) board_->stop();
    board_.reset();
    wienvme_set_driver_path(nullptr);
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  // One position of `nev` events, saving on, no suppression, no time step.
  void set_run_controls(std::uint32_t nev) const {
    SetCtrlVal(p1h, P1_XY, 2);
    SetCtrlVal(p1h, P1_NEV, static_cast<unsigned>(nev));
    SetCtrlVal(p1h, P1_PED, 0);
    SetCtrlVal(p1h, P1_NX, 1);
    SetCtrlVal(p1h, P1_DX, 0);
    SetCtrlVal(p1h, P1_X0, 0);
    SetCtrlVal(p1h, P1_NY, 1);
    SetCtrlVal(p1h, P1_DY, 0);
    SetCtrlVal(p1h, P1_Y0, 0);
    SetCtrlVal(p1h, P1_STEP_MINUTES, 0);
    SetCtrlVal(p1h, P1_SAVE, 1);
    SetCtrlVal(p1h, P1_FILE, (dir_ / "run").string().c_str());
    SetCtrlVal(p1h, P1_FMAX, 100);
    SetCtrlVal(p1h, P1_SUPPRESS, 0);
    SetCtrlVal(p1h, P1_DBG_TDC_TERM, 0);
    SetCtrlVal(p1h, P1_DBG_TDC_FILE, 0);
  }

  // Size of the files the last run wrote; they are then removed.
  // Bytes of the run data files (the run record and run log beside them not
  // counted); everything in the folder is removed.
  std::uintmax_t take_run_files() const {
    std::uintmax_t bytes = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir_, ec)) {
      if (e.path().extension() == ".dat") bytes += e.file_size(ec);
      std::filesystem::remove(e.path(), ec);
    }
    return bytes;
  }

  std::uint64_t triggers() const { return mdq::sim::shared_trigger_source().generated(); }

 private:
  std::unique_ptr<mdq::sim::BoardEmulator> board_;
  std::string driver_;
  std::filesystem::path dir_;
};

// The run's busy waits of one event cycle.
inline void event_waits() {
  wait_loop(200);
  wait_loop(200);
  wait_loop(2000);
  for (int k = 0; k < 32; ++k) wait_loop(200);
}

// The bus and link operations of a run of `nev` events, in the run's order,
// with the same busy waits and none of the decoding, histogramming, save
// decision, record writing or panel updates. Returns the events read out.
inline std::uint32_t io_floor_run(std::uint32_t nev) {
  unsigned short zero = 0;
  (void)WIENVME_write16(hHandle24, 1, V1290_SW_CLEAR, &zero);
  Delay(0.01);
  (void)easiroc_singleADCstart();
  std::uint32_t done = 0;
  for (std::uint32_t i = 0; i < nev; ++i) {
    wait_loop(200);
    (void)WIENVME_write16(hHandle24, 1, V1290_SW_CLEAR, &zero);
    wait_loop(200);
    unsigned short pio = 0;
    (void)WIENVME_write16(hHandle24, 1, PIO_OUTPUT, &pio);
    ntics.store(0);
    int lam = 0;
    do {
      unsigned short status = 0;
      if (WIENVME_read16(hHandle24, 1, V1290_STATUS, &status) != 0) return done;
      lam = status & 1;
    } while (lam == 0 && run_state().keep_going());
    pio = 1;
    (void)WIENVME_write16(hHandle24, 1, PIO_OUTPUT, &pio);
    wait_loop(2000);
    if (!run_state().keep_going()) break;
    if (ntics.load() >= 2) continue;
    for (int k = 0; k < 32; ++k) wait_loop(200);
    unsigned short tdcneve = 0;
    std::uint32_t triggneve = 0;
    (void)WIENVME_read16(hHandle24, 1, V1290_EVENT_STORED, &tdcneve);
    (void)WIENVME_read32(hHandle24, 1, V1290_EVENT_COUNTER, &triggneve);
    unsigned short l = 0;
    int words = 0;
    while (l < tdcneve && words < kTdcMaxWordsPerReadout) {
      std::uint32_t w = 0;
      (void)WIENVME_read32(hHandle24, 1, V1290_OUTPUT_BUFFER, &w);
      ++words;
      if ((w & 0xF8000000u) == 0x80000000u) ++l;
    }
    (void)easiroc_singleADCevent(easiroc::board().esrcdata);
    ++done;
  }
  return done;
}

}  // namespace runbench
