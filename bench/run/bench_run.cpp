// The station's per-event cost.
//
// A: decoding, histogramming, save rule and packing of one typical event
//    (32 TDC channels with a leading and a trailing edge each, chip headers
//    and trailers, global header and trailer: 74 words; 64 ADC words),
//    against copying the same 138 words.
// B: a whole run against the simulated stand, unthrottled triggers, saving
//    on, against an "I/O floor" loop doing the same bus and link operations
//    and busy waits per event with none of the station's own work. The
//    difference is what the station spends per event on top of the traffic.
//    Wall-clock and this thread's CPU time are both reported: on a shared
//    machine the CPU difference is the steadier of the two.
// Splits: the run's per-event panel traffic and record write, for where the
// station's own time goes besides A.
#include <benchmark/benchmark.h>

#include "run_control.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "backend.h"
#include "run_stand.h"
#include "run_state.h"

namespace {

using runbench::Clock;
using runbench::seconds_since;
using runbench::thread_cpu_s;

// ---- A: one event in memory ------------------------------------------------

struct RawEvent {
  std::array<std::uint32_t, 74> tdc;
  std::array<std::uint32_t, 64> adc;
};

// Narrow: every channel's values in the same few bins, as in a pedestal run
// (the spectra's worst case for the filler's memory traffic).
std::vector<RawEvent> make_events(int n, bool narrow) {
  std::mt19937 rng(7);
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<RawEvent> out(n);
  for (int e = 0; e < n; ++e) {
    RawEvent& r = out[e];
    const std::uint32_t ev = e + 1;
    std::size_t k = 0;
    r.tdc[k++] = 0x40000000u | ((ev & 0x3FFFFFu) << 5);
    for (std::uint32_t chip = 0; chip < 4; ++chip) {
      r.tdc[k++] = 0x08000000u | (chip << 24) | ((ev & 0xFFFu) << 12) | (ev * 7 & 0xFFFu);
      for (std::uint32_t ch = chip * 8; ch < chip * 8 + 8; ++ch) {
        const auto lead = static_cast<std::uint32_t>(narrow ? 8000.0 + 4.0 * g(rng)
                                                            : 8000.0 + 40.0 * ch + 40.0 * g(rng));
        const auto trail = lead + static_cast<std::uint32_t>(600.0 + 60.0 * g(rng));
        r.tdc[k++] = (ch << 21) | lead;
        r.tdc[k++] = (1u << 26) | (ch << 21) | trail;
      }
      r.tdc[k++] = 0x18000000u | (chip << 24) | ((ev & 0xFFFu) << 12) | 18u;
    }
    r.tdc[k++] = 0x80000000u | ((74u & 0xFFFFu) << 5);
    for (std::uint32_t ch = 0; ch < 32; ++ch) {
      const double wide = narrow ? 0.0125 : 1.0;
      const auto high = static_cast<std::uint32_t>(150.0 + 240.0 * wide * std::abs(g(rng))) & 0xFFF;
      const auto low = static_cast<std::uint32_t>(150.0 + 24.0 * wide * std::abs(g(rng))) & 0xFFF;
      r.adc[2 * ch] = 0x81000000u | (ch << 16) | high;
      r.adc[2 * ch + 1] = 0x60000000u | (ch << 16) | low;
    }
  }
  return out;
}

const std::vector<RawEvent>& events(bool narrow = false) {
  static const std::vector<RawEvent> ev = make_events(256, false);
  static const std::vector<RawEvent> pedestals = make_events(256, true);
  return narrow ? pedestals : ev;
}

// The baseline: the same words moved, nothing looked at.
inline void copy_event(const RawEvent& e, RawEvent& dst) {
  std::memcpy(dst.tdc.data(), e.tdc.data(), sizeof e.tdc);
  std::memcpy(dst.adc.data(), e.adc.data(), sizeof e.adc);
  benchmark::ClobberMemory();
}

// What the run does with the words of one read-out event.
inline bool decode_event(const RawEvent& e, EventTable& ev, const SaveRule& rule, EVTREC& rec) {
  ev.clear_tdc();
  const int trailers = tdc_decode_words(e.tdc.data(), static_cast<int>(e.tdc.size()), ev);
  esrc_classify(e.adc.data(), static_cast<int>(e.adc.size()), ev);
  const bool save = save_decision(rule, ev, nullptr);
  if (save) pack_evtrec(ev, rec);
  benchmark::DoNotOptimize(rec);
  return trailers == 1;
}

// Wall and this thread's CPU nanoseconds per event. On a shared machine the
// wall figure includes time the thread was not running; the CPU one does not.
struct PerEvent {
  double wall_ns = 0, cpu_ns = 0;
};

PerEvent copy_ns_per_event(std::size_t n) {
  const auto& evs = events();
  RawEvent dst{};
  const double c0 = thread_cpu_s();
  auto t0 = Clock::now();
  for (std::size_t i = 0; i < n; ++i) copy_event(evs[i & 255], dst);
  return {seconds_since(t0) * 1e9 / double(n), (thread_cpu_s() - c0) * 1e9 / double(n)};
}

void BM_A_CopyBaseline(benchmark::State& state) {
  const auto& evs = events();
  RawEvent dst{};
  std::size_t i = 0;
  for (auto _ : state) copy_event(evs[i++ & 255], dst);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_A_CopyBaseline);

// Arg: 0 = panel defaults (save on, no suppression), 1 = suppression on
// (one random draw per event, threshold test over all channels), 2 = panel
// defaults with pedestal-like narrow spectra.
void BM_A_DecodeEvent(benchmark::State& state) {
  const auto& evs = events(state.range(0) == 2);
  SaveRule rule;
  rule.dsave = 1;
  rule.supr0 = state.range(0) == 1;
  rule.tdcmin = 1 << 30;  // never met: every channel is looked at
  rule.frac = 0.1f;
  double seed = 0;
  Uniform(1, 12345, &seed);
  spectra_clear();
  EventTable ev;
  EVTREC rec;
  std::size_t i = 0;
  bool framed = true;
  const double c0 = thread_cpu_s();
  auto t0 = Clock::now();
  for (auto _ : state) framed &= decode_event(evs[i++ & 255], ev, rule, rec);
  const double ns = seconds_since(t0) * 1e9 / double(state.iterations());
  const double cpu = (thread_cpu_s() - c0) * 1e9 / double(state.iterations());
  if (!framed) state.SkipWithError("event framing not seen");
  // The baseline right after, over the same number of events.
  const PerEvent copy = copy_ns_per_event(std::max<std::size_t>(state.iterations(), 100000));
  state.counters["ns_per_event"] = ns;
  state.counters["copy_ns_per_event"] = copy.wall_ns;
  state.counters["ratio_vs_copy"] = ns / copy.wall_ns;
  state.counters["cpu_ns_per_event"] = cpu;
  state.counters["copy_cpu_ns_per_event"] = copy.cpu_ns;
  state.counters["cpu_ratio_vs_copy"] = cpu / copy.cpu_ns;
  state.counters["target_ns"] = 100;
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_A_DecodeEvent)->Arg(0)->Arg(1)->Arg(2);

// ---- BM_A's work in parts, each alone ------------------------------------------
void BM_Split_EventClear(benchmark::State& state) {
  EventTable ev;
  for (auto _ : state) {
    ev.clear_tdc();
    benchmark::DoNotOptimize(ev);
  }
}
BENCHMARK(BM_Split_EventClear);
// One part over the benchmark's events, the spectra cleared first.
template <class Part>
void decode_part(benchmark::State& state, Part part) {
  const auto& evs = events();
  spectra_clear();
  EventTable ev;
  std::size_t i = 0;
  for (auto _ : state) {
    part(evs[i++ & 255], ev);
    benchmark::DoNotOptimize(ev);
  }
}
void BM_Split_TdcWords(benchmark::State& state) {
  decode_part(state, [](const RawEvent& e, EventTable& ev) {
    benchmark::DoNotOptimize(tdc_decode_words(e.tdc.data(), static_cast<int>(e.tdc.size()), ev));
    ev.tdcchhit = 0;
  });
}
BENCHMARK(BM_Split_TdcWords);
void BM_Split_BoardWords(benchmark::State& state) {
  decode_part(state, [](const RawEvent& e, EventTable& ev) {
    esrc_classify(e.adc.data(), static_cast<int>(e.adc.size()), ev);
  });
}
BENCHMARK(BM_Split_BoardWords);
void BM_Split_SaveAndPack(benchmark::State& state) {
  SaveRule rule;
  rule.dsave = 1;
  rule.tdcmin = 1 << 30;
  EventTable ev;
  EVTREC rec;
  for (auto _ : state) {
    if (save_decision(rule, ev, nullptr)) pack_evtrec(ev, rec);
    benchmark::DoNotOptimize(rec);
  }
}
BENCHMARK(BM_Split_SaveAndPack);

// ---- Splits of the run's own per-event work outside the decoding -------------

// The panel traffic of one event: the two debug switches read, the event
// number shown.
void BM_Split_PanelCalls(benchmark::State& state) {
  SetCtrlVal(p1h, P1_DBG_TDC_TERM, 0);
  SetCtrlVal(p1h, P1_DBG_TDC_FILE, 0);
  std::uint32_t n = 0;
  for (auto _ : state) {
    int t = 0, f = 0;
    GetCtrlVal(p1h, P1_DBG_TDC_TERM, &t);
    GetCtrlVal(p1h, P1_DBG_TDC_FILE, &f);
    SetCtrlVal(p1h, P1_EVENT, ++n);
    benchmark::DoNotOptimize(t + f);
  }
}
BENCHMARK(BM_Split_PanelCalls);

// Encoding and buffered writing of one event record.
void BM_Split_RecordWrite(benchmark::State& state) {
  const auto base = std::filesystem::temp_directory_path() /
                    ("mdq_bench_rec_" + std::to_string(::getpid()));
  RunFileWriter w;
  if (!w.open(base.string(), 0)) {
    state.SkipWithError("cannot open a temp run file");
    return;
  }
  EVTREC rec;
  for (auto _ : state) {
    ++rec.nev;
    w.write(rec);
  }
  w.close(0);
  for (const auto& f : w.files()) std::filesystem::remove(f);
}
BENCHMARK(BM_Split_RecordWrite)->Iterations(200000);

// Clearing every spectrum, as each run and each new position does.
void BM_Split_SpectraClear(benchmark::State& state) {
  for (auto _ : state) spectra_clear();
}
BENCHMARK(BM_Split_SpectraClear)->Unit(benchmark::kMillisecond);

// ---- B: whole run against the simulated stand --------------------------------

runbench::Stand* g_stand = nullptr;

// Per-event figures of one run or floor loop.
struct Leg {
  double wall_us = 0;
  double cpu_us = 0;       // this thread's CPU time
  double triggers = 0;     // triggers the stand made per event
};

Leg time_run(std::uint32_t nev, bool* ok, bool verifyPairing = true) {
  g_stand->set_run_controls(nev);
  (void)run_state().request_start();
  const auto g0 = g_stand->triggers();
  const double c0 = thread_cpu_s();
  auto t0 = Clock::now();
  RunJob job{run_config_from_panel(), &panel_run_observer(), {}};
  job.config.verifyPairing = verifyPairing;
  daq_run(&job);
  Leg leg{seconds_since(t0) * 1e6 / nev, (thread_cpu_s() - c0) * 1e6 / nev,
          double(g_stand->triggers() - g0) / nev};
  int shown = 0;
  GetCtrlVal(p1h, P1_EVENT, &shown);
  const std::uintmax_t bytes = g_stand->take_run_files();
  // The run header, one position, every event, the end record.
  const std::uintmax_t expect = 56 + 36 + std::uintmax_t(nev) * 140 + 12;
  // (Trigger counts say nothing here: at rate 0 the board side may fire a
  // further trigger while the veto is still released, and its two halves
  // stay queued in step for the next event, run or floor loop.)
  *ok = shown == static_cast<int>(nev) + 1 && bytes == expect;
  if (!*ok)
    std::fprintf(stderr, "run: P1_EVENT %d, %ju bytes (expected %ju)\n", shown, bytes, expect);
  return leg;
}

Leg time_floor(std::uint32_t nev, bool* ok) {
  (void)run_state().request_start();
  const auto g0 = g_stand->triggers();
  const double c0 = thread_cpu_s();
  auto t0 = Clock::now();
  const std::uint32_t done = runbench::io_floor_run(nev);
  Leg leg{seconds_since(t0) * 1e6 / nev, (thread_cpu_s() - c0) * 1e6 / nev,
          double(g_stand->triggers() - g0) / nev};
  run_state().reset();
  *ok = done == nev;
  if (!*ok) std::fprintf(stderr, "floor: %u events read out\n", done);
  return leg;
}

double time_waits(std::uint32_t nev) {
  auto t0 = Clock::now();
  for (std::uint32_t i = 0; i < nev; ++i) runbench::event_waits();
  return seconds_since(t0);
}

void BM_B_RunVsIoFloor(benchmark::State& state) {
  const auto nev = static_cast<std::uint32_t>(state.range(0));
  std::vector<double> run_us, floor_us, diff_us, cpu_diff_us, run_trig, floor_trig, wait_us;
  bool ok = true;
  for (auto _ : state) {
    {
      bool w = true;  // warm-up: first touch of the spectra and the file cache
      time_run(nev / 10, &w);
      time_floor(nev / 10, &w);
    }
    for (int rep = 0; rep < 5; ++rep) {
      bool a = true, b = true;
      // Alternate the order so a drift of the machine does not favour one.
      Leg f, r;
      if (rep % 2 == 0) {
        f = time_floor(nev, &a);
        r = time_run(nev, &b);
      } else {
        r = time_run(nev, &b);
        f = time_floor(nev, &a);
      }
      ok &= a && b;
      floor_us.push_back(f.wall_us);
      run_us.push_back(r.wall_us);
      diff_us.push_back(r.wall_us - f.wall_us);
      cpu_diff_us.push_back(r.cpu_us - f.cpu_us);
      run_trig.push_back(r.triggers);
      floor_trig.push_back(f.triggers);
      wait_us.push_back(time_waits(nev) * 1e6 / nev);
    }
  }
  if (!ok) state.SkipWithError("a run or the floor loop did not take every event");
  const double run = runbench::median(run_us), flo = runbench::median(floor_us);
  state.counters["run_ev_per_s"] = 1e6 / run;
  state.counters["floor_ev_per_s"] = 1e6 / flo;
  state.counters["run_over_floor_throughput"] = flo / run;
  state.counters["run_us_per_ev"] = run;
  state.counters["floor_us_per_ev"] = flo;
  state.counters["station_us_per_ev"] = runbench::median(diff_us);
  state.counters["station_cpu_us_per_ev"] = runbench::median(cpu_diff_us);
  state.counters["run_triggers_per_ev"] = runbench::median(run_trig);
  state.counters["floor_triggers_per_ev"] = runbench::median(floor_trig);
  state.counters["wait_loop_us_per_ev"] = runbench::median(wait_us);
  state.counters["target_station_us"] = 3;
}
BENCHMARK(BM_B_RunVsIoFloor)->Arg(20000)->Iterations(1)->Unit(benchmark::kMillisecond);

// What checking the trigger pairing costs per event: the same run with the
// checks on and off, alternated.
void BM_C_PairingChecks(benchmark::State& state) {
  const auto nev = static_cast<std::uint32_t>(state.range(0));
  std::vector<double> on_us, off_us, diff_us, cpu_diff_us;
  bool ok = true;
  for (auto _ : state) {
    bool w = true;
    time_run(nev / 10, &w, true);
    for (int rep = 0; rep < 6; ++rep) {
      bool a = true, b = true;
      Leg on, off;
      if (rep % 2 == 0) {
        off = time_run(nev, &a, false);
        on = time_run(nev, &b, true);
      } else {
        on = time_run(nev, &b, true);
        off = time_run(nev, &a, false);
      }
      ok &= a && b;
      on_us.push_back(on.wall_us);
      off_us.push_back(off.wall_us);
      diff_us.push_back(on.wall_us - off.wall_us);
      cpu_diff_us.push_back(on.cpu_us - off.cpu_us);
    }
  }
  if (!ok) state.SkipWithError("a run did not take every event");
  state.counters["checks_on_us_per_ev"] = runbench::median(on_us);
  state.counters["checks_off_us_per_ev"] = runbench::median(off_us);
  state.counters["off_over_on_throughput"] = runbench::median(on_us) / runbench::median(off_us);
  state.counters["checks_ns_per_ev"] = runbench::median(diff_us) * 1e3;
  state.counters["checks_cpu_ns_per_ev"] = runbench::median(cpu_diff_us) * 1e3;
}
BENCHMARK(BM_C_PairingChecks)->Arg(20000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return runbench::run_benchmarks(argc, argv, g_stand); }
