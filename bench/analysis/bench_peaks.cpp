// What a position change costs the run for the map's fitted peaks (cutting
// the windows out of the live spectra, on the run's thread) against the
// fits themselves (on the fitter's thread): 32 channels of TDC and both
// ADC gains, filled as the simulated stand fills them at 500 events.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#include "live_histograms.h"
#include "peaks.h"

namespace {

void fill_position(int events) {
  spectra_clear();
  std::mt19937 rng(7);
  std::normal_distribution<double> g(0, 1);
  std::poisson_distribution<int> npe(4.0);
  for (int e = 0; e < events; ++e)
    for (int ch = 0; ch < kChannels; ++ch) {
      const double lead = 8000.0 + 40.0 * ch + 40.0 * g(rng);
      if (rng() % 10 != 0) spectrum_add(dtdc[ch][0][static_cast<int>(lead)]);
      const double signal = rng() % 10 < 7 ? 60.0 * npe(rng) : 0.0;
      spectrum_add(dadc[ch][0][static_cast<int>(100 + ch + 3 * g(rng) + signal)]);
      spectrum_add(dadc[ch][1][static_cast<int>(150 + ch + 2 * g(rng) + signal / 10)]);
    }
}

PositionCuts cut_live() {
  PositionCuts cuts;
  for (int ch = 0; ch < kChannels; ++ch) {
    const auto k = static_cast<std::size_t>(ch);
    cuts[0][k] = cut_peak(std::span<const Bin>(dtdc[ch][0]));
    cuts[1][k] = cut_peak(std::span<const Bin>(dadc[ch][0]));
    cuts[2][k] = cut_peak(std::span<const Bin>(dadc[ch][1]));
  }
  return cuts;
}

void BM_CutPositionOnTheRunThread(benchmark::State& state) {
  fill_position(500);
  for (auto _ : state) benchmark::DoNotOptimize(cut_live());
}
BENCHMARK(BM_CutPositionOnTheRunThread)->Unit(benchmark::kMillisecond)->MinTime(0.5);

void BM_FitPosition(benchmark::State& state) {
  fill_position(500);
  const PositionCuts cuts = cut_live();
  int fitted = 0;
  for (auto _ : state) {
    const PositionPeaks p = fit_position(cuts);
    fitted = 0;
    for (const auto& kind : p)
      for (float v : kind) fitted += std::isnan(v) ? 0 : 1;
  }
  state.counters["fitted"] = fitted;
}
BENCHMARK(BM_FitPosition)->Unit(benchmark::kMillisecond)->MinTime(0.5);

}  // namespace

BENCHMARK_MAIN();
