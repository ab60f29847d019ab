// Cost of one VME cycle through the layer (WIENVME_read16 -> driver entry
// point), against a bare function call measured in the same run. Two
// drivers: one whose cycles do nothing (the layer alone) and the simulated
// crate (layer + model).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "sim_crate.h"
#include "sim_driver.h"
#include "v1290.h"
#include "wienvme_dll.h"

namespace {

__attribute__((noinline)) int bare_read16(int handle, unsigned long n, unsigned long at,
                                          void* buff) {
  benchmark::DoNotOptimize(buff);
  return handle == -12345 ? static_cast<int>(n + at) : 0;
}

void start(const std::string& path) {
  WIENVME_stop();
  WIENVME_start(path.c_str());
}

void BM_BareCall(benchmark::State& state) {
  std::uint16_t w = 0;
  for (auto _ : state) benchmark::DoNotOptimize(bare_read16(hHandle24, 1, V1290_STATUS, &w));
}
BENCHMARK(BM_BareCall);

void BM_Read16_NullDriver(benchmark::State& state) {
  start(MDQ_NULL_DRIVER);
  std::uint16_t w = 0;
  for (auto _ : state) benchmark::DoNotOptimize(WIENVME_read16(hHandle24, 1, V1290_STATUS, &w));
}
BENCHMARK(BM_Read16_NullDriver);

void BM_Read16_SimCrate(benchmark::State& state) {
  start(mdq::sim::simulated_driver_path());
  std::uint16_t w = 0;
  // The event-stored register: a plain register of the model (the status
  // register would also ask the trigger source).
  for (auto _ : state)
    benchmark::DoNotOptimize(WIENVME_read16(hHandle24, 1, V1290_EVENT_STORED, &w));
}
BENCHMARK(BM_Read16_SimCrate);

// Both paths timed side by side in one benchmark, so the ratio and the
// overhead come from the same conditions.
void BM_LayerVsBare(benchmark::State& state) {
  using clock = std::chrono::steady_clock;
  const bool sim = state.range(0) != 0;
  start(sim ? mdq::sim::simulated_driver_path() : std::string(MDQ_NULL_DRIVER));
  constexpr int kBatch = 1000;
  std::uint16_t w = 0;
  double layer = 0, bare = 0;
  std::int64_t batches = 0;
  for (auto _ : state) {
    auto t0 = clock::now();
    for (int i = 0; i < kBatch; ++i)
      benchmark::DoNotOptimize(WIENVME_read16(hHandle24, 1, V1290_EVENT_STORED, &w));
    auto t1 = clock::now();
    for (int i = 0; i < kBatch; ++i)
      benchmark::DoNotOptimize(bare_read16(hHandle24, 1, V1290_EVENT_STORED, &w));
    auto t2 = clock::now();
    layer += std::chrono::duration<double, std::nano>(t1 - t0).count();
    bare += std::chrono::duration<double, std::nano>(t2 - t1).count();
    ++batches;
  }
  const double n = static_cast<double>(batches) * kBatch;
  state.counters["cycle_ns"] = layer / n;
  state.counters["bare_ns"] = bare / n;
  state.counters["overhead_ns"] = (layer - bare) / n;
  state.counters["ratio"] = bare > 0 ? layer / bare : 0;
}
BENCHMARK(BM_LayerVsBare)->Arg(0)->Arg(1)->ArgName("simcrate");

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  WIENVME_stop();
  return 0;
}
