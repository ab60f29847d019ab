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
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "camac.h"
#include "crate.h"
#include "dispatch.h"
#include "daq_run.h"
#include "decode.h"
#include "easiroc.h"
#include "mdq_ui.h"
#include "platform.h"
#include "stand.h"
#include "station_on_stand.h"
#include "live_histograms.h"
#include "mdq_main.h"
#include "v1290.h"
#include "wienvme_dll.h"
#include "run_state.h"

namespace runbench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// This thread's CPU seconds: on a shared machine the wall clock also counts
// time the thread was not running.
inline double thread_cpu_s() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
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
    mdq::sim::StandOptions options;
    options.triggerRateHz = 0;  // a trigger as soon as the veto is released
    if (!sim_.start(options).empty()) return false;

    EasirocSettings link = easiroc_settings();
    link.connectTimeoutMs = 1000;
    link.ackPauseUs = 200;
    link.streamBytePauseUs = 0;
    link.startPauseUs = 2000;
    link.frameDump = EasirocSettings::FrameDump::None;
    const std::string notUp = mdq::standup::station_onto_stand(sim_, link);
    if (!notUp.empty()) {
      std::fprintf(stderr, "%s\n", notUp.c_str());
      return false;
    }
    // The crate start-up leaves the PIO output at 0 (veto released); the
    // stand gives one trigger per release, so set the veto as an operator
    // would before the first run. A failing write means no crate.
    unsigned short veto = 1;
    if (WIENVME_write16(hHandle24, 1, PIO_OUTPUT, &veto) != 0) return false;

    dir_ = std::filesystem::temp_directory_path() / ("mdq_bench_run_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    return true;
  }

  void down() {
    mdq::standup::station_off_stand();
    sim_.stop();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  // One position of `nev` events, saving on, no suppression, no time step.
  void set_run_controls(std::uint32_t nev) const {
    mdq::standup::reset_run_settings((dir_ / "run").string());
    SetCtrlVal(p1h, P1_NEV, static_cast<unsigned>(nev));
    SetCtrlVal(p1h, P1_FMAX, 100);
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
  mdq::sim::Stand sim_;
  std::filesystem::path dir_;
};

// main() of a run benchmark: the panel's TDC defaults, the stand up, the
// benchmarks, the stand down. `poolThreads` > 0: the station's thread pool
// too, for benchmarks that start runs as the toggle does.
inline int run_benchmarks(int argc, char** argv, Stand*& current, int poolThreads = 0) {
  benchmark::Initialize(&argc, argv);
  p1h = LoadPanel(0, "", 1);
  if (poolThreads > 0) CmtNewThreadPool(poolThreads, &poolHandle);
  Stand::default_tdc_controls();
  Stand stand;
  int rc = 0;
  if (stand.up()) {
    current = &stand;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  } else {
    std::fprintf(stderr, "simulated stand did not come up\n");
    rc = 1;
  }
  stand.down();
  current = nullptr;
  if (poolThreads > 0) CmtDiscardThreadPool(poolHandle);
  return rc;
}

// The run's busy waits of one event cycle.
inline void event_waits() {
  wait_loop(200);
  wait_loop(200);
  wait_loop(2000);
  for (int k = 0; k < 32; ++k) wait_loop(200);
}

// The bus and link operations of a run of `nev` events, in the run's order,
// with the same busy waits and none of the decoding, histogramming, save
// decision, record writing, peak fits or panel updates. As the run does, it
// starts by setting the veto and listening for the board to fall quiet, and
// looks at the link before every veto release (a receive that finds
// nothing). Returns the events read out.
inline std::uint32_t io_floor_run(std::uint32_t nev) {
  unsigned short zero = 0, one = 1;
  (void)WIENVME_write16(hHandle24, 1, PIO_OUTPUT, &one);
  (void)WIENVME_write16(hHandle24, 1, V1290_SW_CLEAR, &zero);
  Delay(0.01);
  (void)easiroc_singleADCstart();
  (void)easiroc_discard_pending(kStartQuietMs, kStartDiscardMaxMs,
                                [] { return run_state().keep_going(); });
  std::uint32_t done = 0;
  for (std::uint32_t i = 0; i < nev; ++i) {
    wait_loop(200);
    (void)WIENVME_write16(hHandle24, 1, V1290_SW_CLEAR, &zero);
    wait_loop(200);
    (void)easiroc_drop_arrived();
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
