// The panel's auto-refresh during a run: the run of bench_run's B on a pool
// worker while the GUI thread runs the station's loop (timer ticks from the
// panel's own 500 ms timer, dispatched to the station's timer handler, which
// redraws both spectra when P1_AUTO_REFRESH is on). Throughput with the
// refresh on against off, and against the run's bus/link floor, in the same
// process. Offscreen unless a display is set (xvfb-run -a for a real X server).
#include <benchmark/benchmark.h>

#include "run_control.h"

#include <QApplication>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "backend.h"
#include "dispatch.h"
#include "display.h"
#include "mdq_main.h"
#include "offscreen_panel.h"
#include "run_stand.h"
#include "run_state.h"

#ifndef MDQ_NEV
#define MDQ_NEV 40000
#endif
#ifndef MDQ_REPS
#define MDQ_REPS 11
#endif
namespace {
// Triples per run: MDQ_BENCH_REPS when set, for the longer runs a noisy machine needs.
int reps() {
  const char* v = std::getenv("MDQ_BENCH_REPS");
  return v ? std::max(1, std::atoi(v)) : MDQ_REPS;
}
const int kReps = reps();

using runbench::Clock;
using runbench::seconds_since;
using runbench::thread_cpu_s;

runbench::Stand* g_stand = nullptr;
int g_pool = 0;
std::atomic<double> g_runSeconds{0};
std::atomic<double> g_runCpuSeconds{0};

int timed_run(void*) {
  const double c0 = thread_cpu_s();
  auto t0 = Clock::now();
  RunJob job{run_config_from_panel(), &panel_run_observer(), {}};
  daq_run(&job);
  g_runSeconds.store(seconds_since(t0));
  g_runCpuSeconds.store(thread_cpu_s() - c0);
  return 0;
}

// The run's bus and link traffic alone (bench_run's I/O floor) on the same
// kind of worker.
int timed_floor(void* nevp) {
  const auto nev = *static_cast<const std::uint32_t*>(nevp);
  const double c0 = thread_cpu_s();
  auto t0 = Clock::now();
  const std::uint32_t done = runbench::io_floor_run(nev);
  g_runSeconds.store(done == nev ? seconds_since(t0) : 0.0);
  g_runCpuSeconds.store(thread_cpu_s() - c0);
  run_state().reset();
  return 0;
}

// The X server's process, when there is one on this machine (xvfb-run): what
// the panel's repaints cost it is not in this process's CPU time.
int find_x_server() {
  DIR* d = opendir("/proc");
  if (!d) return 0;
  int found = 0;
  while (dirent* e = readdir(d)) {
    const int pid = std::atoi(e->d_name);
    if (pid <= 0) continue;
    std::ifstream comm("/proc/" + std::string(e->d_name) + "/comm");
    std::string name;
    if (std::getline(comm, name) && (name == "Xvfb" || name == "Xorg")) {
      found = pid;
      break;
    }
  }
  closedir(d);
  return found;
}

int g_xPid = 0;

double process_cpu_s(int pid) {
  if (pid <= 0) return 0;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return 0;
  const auto close = line.rfind(')');
  if (close == std::string::npos) return 0;
  // Fields after the command name: state is field 3; utime and stime are 14 and 15.
  std::istringstream rest(line.substr(close + 2));
  std::string f;
  double ticks = 0;
  for (int k = 3; k <= 15 && rest >> f; ++k)
    if (k >= 14) ticks += std::atof(f.c_str());
  return ticks / double(sysconf(_SC_CLK_TCK));
}

// A distribution-free 95 % interval for the median of `v`: the order
// statistics k and n+1-k with k the largest rank whose binomial tail is
// within 2.5 %.
std::pair<double, double> median_interval(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const int n = static_cast<int>(v.size());
  if (n < 6) return {v.empty() ? 0.0 : v.front(), v.empty() ? 0.0 : v.back()};
  double tail = 0, term = std::pow(0.5, n);  // P(X = 0) for X ~ B(n, 1/2)
  int k = 0;
  while (tail + term <= 0.025) {
    tail += term;
    term *= double(n - k) / double(k + 1);
    ++k;
  }
  k = std::max(k, 1);
  return {v[static_cast<std::size_t>(k - 1)], v[static_cast<std::size_t>(n - k)]};
}

struct Outcome {
  double seconds = 0;
  double workerCpu = 0;  // the run's thread
  double guiCpu = 0;     // the GUI thread while the run went on (loop, redraws, repaints)
  double xCpu = 0;       // the X server meanwhile
  int ticks = 0;
  double redrawSeconds = 0;
  bool ok = false;
};

// One run (or, with `floor`, the floor loop) with the GUI thread in the
// station's loop until the worker returns.
Outcome gui_run(std::uint32_t nev, bool refresh, bool floor = false) {
  Outcome o;
  g_stand->set_run_controls(nev);
  SetCtrlVal(p1h, P1_AUTO_REFRESH, refresh ? 1 : 0);
  g_runSeconds.store(0);
  const double gui0 = thread_cpu_s();
  const double x0 = process_cpu_s(g_xPid);
  (void)run_state().request_start();
  int fid = 0;
  if (CmtScheduleThreadPoolFunction(g_pool, floor ? timed_floor : timed_run, &nev, &fid) != 0) {
    run_state().reset();
    return o;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (CmtRunningThreadPoolFunctions(g_pool) > 0) {
    if (Clock::now() > deadline) run_state().request_stop();  // a hung run ends; the figures are void
    int panel = 0, control = 0;
    GetUserEvent(1, &panel, &control);
    if (control == P1_TIMER) {
      auto t0 = Clock::now();
      session_dispatch(P1_TIMER);
      o.redrawSeconds += seconds_since(t0);
      ++o.ticks;
    }
  }
  o.guiCpu = thread_cpu_s() - gui0;
  o.xCpu = process_cpu_s(g_xPid) - x0;
  CmtWaitForThreadPoolFunctionCompletion(g_pool, fid, 0);
  CmtReleaseThreadPoolFunctionID(g_pool, fid);
  o.seconds = g_runSeconds.load();
  o.workerCpu = g_runCpuSeconds.load();
  if (floor) {
    o.workerCpu = g_runCpuSeconds.load();
    o.ok = Clock::now() <= deadline && o.seconds > 0;
    return o;
  }
  int shown = 0;
  GetCtrlVal(p1h, P1_EVENT, &shown);
  o.ok = Clock::now() <= deadline && shown == static_cast<int>(nev) + 1 &&
         g_stand->take_run_files() == 56 + 36 + std::uintmax_t(nev) * 140 + 12;
  return o;
}

void BM_C_AutoRefreshOnVsOff(benchmark::State& state) {
  const auto nev = static_cast<std::uint32_t>(state.range(0));
  std::vector<double> ratio, off, on, redrawMs, guiShare, guiOff, guiOn, workerCpuRatio, onFloor,
      onFloorCpu, floorFloor, onFloors, xOff, xOn, xFloor;
  double sumFloor = 0, sumOn = 0, bestFloor = 1e9, bestOn = 1e9, bestOff = 1e9;
  int onTicks = 0;
  bool ok = true;
  for (auto _ : state) {
    gui_run(nev / 10, true);  // warm-up: first touch of the spectra, chart caches
    gui_run(nev / 10, false, true);
    for (int rep = 0; rep < kReps; ++rep) {
      // A floor at each end of the triple: the two floors against each
      // other are the method's own spread (the same loop twice).
      Outcome a, b, f, f2;
      if (rep % 2 == 0) {
        f = gui_run(nev, false, true);
        a = gui_run(nev, false);
        b = gui_run(nev, true);
        f2 = gui_run(nev, false, true);
      } else {
        f2 = gui_run(nev, false, true);
        b = gui_run(nev, true);
        a = gui_run(nev, false);
        f = gui_run(nev, false, true);
      }
      ok &= a.ok && b.ok && f.ok && f2.ok;
      std::fprintf(stderr,
                   "rep %2d: floor %.3f s, off %.3f s, on %.3f s, floor %.3f s; X server %.1f %%, %.1f %%, "
                   "%.1f %%, %.1f %%\n",
                   rep, f.seconds, a.seconds, b.seconds, f2.seconds, 100 * f.xCpu / f.seconds,
                   100 * a.xCpu / a.seconds, 100 * b.xCpu / b.seconds, 100 * f2.xCpu / f2.seconds);
      xOff.push_back(100 * a.xCpu / a.seconds);
      xOn.push_back(100 * b.xCpu / b.seconds);
      xFloor.push_back(100 * (f.xCpu + f2.xCpu) / (f.seconds + f2.seconds));
      floorFloor.push_back(f.seconds / f2.seconds);
      onFloors.push_back(0.5 * (f.seconds + f2.seconds) / b.seconds);
      sumFloor += f.seconds + f2.seconds;
      sumOn += b.seconds;
      bestFloor = std::min({bestFloor, f.seconds, f2.seconds});
      bestOn = std::min(bestOn, b.seconds);
      bestOff = std::min(bestOff, a.seconds);
      onFloor.push_back(f.seconds / b.seconds);
      // The same by CPU time (the floor's waits spin, so on a quiet machine
      // CPU and wall time agree): the worker's plus the GUI thread's extra
      // with the refresh on, against the floor's worker. Time the threads
      // were not running, which dominates the wall figure on a busy
      // machine, is not in it.
      onFloorCpu.push_back(f.workerCpu /
                           (b.workerCpu + std::max(0.0, b.guiCpu - a.guiCpu * b.seconds / a.seconds)));
      off.push_back(nev / a.seconds);
      on.push_back(nev / b.seconds);
      ratio.push_back(a.seconds / b.seconds);
      // The GUI thread's extra CPU with the refresh on, as a share of the
      // run's duration: what the redraws take from the two cores.
      guiShare.push_back((b.guiCpu / b.seconds - a.guiCpu / a.seconds) * 100.0);
      guiOff.push_back(a.guiCpu / a.seconds * 100.0);
      guiOn.push_back(b.guiCpu / b.seconds * 100.0);
      workerCpuRatio.push_back(a.workerCpu / b.workerCpu);
      onTicks += b.ticks;
      if (b.ticks) redrawMs.push_back(b.redrawSeconds * 1e3 / b.ticks);
    }
  }
  if (!ok) state.SkipWithError("a run did not take every event");
  const double r = runbench::median(ratio);
  state.counters["off_ev_per_s"] = runbench::median(off);
  state.counters["on_ev_per_s"] = runbench::median(on);
  state.counters["on_over_off_throughput"] = r;
  state.counters["display_cost_pct"] = (1.0 - r) * 100.0;
  state.counters["on_over_off_min"] = *std::min_element(ratio.begin(), ratio.end());
  state.counters["on_over_off_max"] = *std::max_element(ratio.begin(), ratio.end());
  state.counters["gui_cpu_pct_off"] = runbench::median(guiOff);
  state.counters["gui_cpu_pct_on"] = runbench::median(guiOn);
  state.counters["gui_cpu_extra_pct_of_run"] = runbench::median(guiShare);
  state.counters["worker_cpu_off_over_on"] = runbench::median(workerCpuRatio);
  state.counters["ms_per_tick_on"] = runbench::median(redrawMs);
  state.counters["ticks_on_total"] = onTicks;
  // The whole run with the panel drawing against its bus/link floor.
  state.counters["on_over_floor"] = runbench::median(onFloor);
  state.counters["on_over_floor_min"] = *std::min_element(onFloor.begin(), onFloor.end());
  state.counters["on_over_floor_max"] = *std::max_element(onFloor.begin(), onFloor.end());
  // Against both floors of the triple, and the floor against itself.
  state.counters["on_over_floors"] = runbench::median(onFloors);
  const auto [lo, hi] = median_interval(onFloors);
  state.counters["on_over_floors_ci95_lo"] = lo;
  state.counters["on_over_floors_ci95_hi"] = hi;
  // Pooled: every floor's time against every refreshing run's, so a slow
  // spell weighs by its length; and the quickest of each, the runs the
  // machine disturbed least.
  state.counters["on_over_floors_pooled"] = 0.5 * sumFloor / sumOn;
  state.counters["on_over_floor_best"] = bestFloor / bestOn;
  state.counters["off_over_floor_best"] = bestFloor / bestOff;
  state.counters["floor_over_floor"] = runbench::median(floorFloor);
  state.counters["floor_over_floor_min"] = *std::min_element(floorFloor.begin(), floorFloor.end());
  state.counters["floor_over_floor_max"] = *std::max_element(floorFloor.begin(), floorFloor.end());
  state.counters["on_over_floor_cpu"] = runbench::median(onFloorCpu);
  state.counters["on_over_floor_cpu_min"] = *std::min_element(onFloorCpu.begin(), onFloorCpu.end());
  state.counters["on_over_floor_cpu_max"] = *std::max_element(onFloorCpu.begin(), onFloorCpu.end());
  if (g_xPid > 0) {
    state.counters["x_server_cpu_pct_floor"] = runbench::median(xFloor);
    state.counters["x_server_cpu_pct_off"] = runbench::median(xOff);
    state.counters["x_server_cpu_pct_on"] = runbench::median(xOn);
  }
  state.counters["target_pct"] = 2;
}
BENCHMARK(BM_C_AutoRefreshOnVsOff)->Arg(MDQ_NEV)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // Under a real X server (xvfb-run) the panel is drawn as the user sees it.
  benchpanel::OffscreenPanel panel(argc, argv, benchpanel::Platform::DisplayIfAny);
  RegisterCtrlCallback("cb_timer", cb_timer);
  if (!panel.show()) return 1;
  if (std::getenv("DISPLAY")) g_xPid = find_x_server();
  panel_install_handlers();
  CmtNewThreadPool(10, &g_pool);
  runbench::Stand stand;
  int rc = 0;
  if (!stand.up()) {
    std::fprintf(stderr, "simulated stand did not come up\n");
    rc = 1;
  } else {
    g_stand = &stand;
    // As at start-up: the spectra drawn once, so each redraw replaces a plot.
    spectra_clear();
    update_plots();
    QApplication::processEvents();
    benchmark::RunSpecifiedBenchmarks();
  }
  benchmark::Shutdown();
  CmtDiscardThreadPool(g_pool);
  stand.down();
  return rc;
}
