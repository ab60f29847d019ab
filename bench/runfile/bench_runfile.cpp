// Event records into a run file on local disk, against a raw fwrite of the
// same bytes (the floor) in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <unistd.h>

#include "runfile.h"

namespace {
std::string base() {
  return (std::filesystem::temp_directory_path() / ("mdq_bench_" + std::to_string(::getpid())))
      .string();
}

void BM_RawFwrite(benchmark::State& state) {
  std::string name = base() + "_raw.dat";
  std::FILE* fp = std::fopen(name.c_str(), "wb");
  unsigned char rec[140] = {4, 0, 0, 0, 140};
  for (auto _ : state) {
    std::fwrite(rec, 1, sizeof rec, fp);
    benchmark::ClobberMemory();
  }
  std::fclose(fp);
  std::remove(name.c_str());
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * 140);
}

void BM_EventRecords(benchmark::State& state) {
  RunFileWriter w;
  w.open(base(), 0);
  w.write(RUNREC{});
  EVTREC e;
  std::uint32_t n = 0;
  for (auto _ : state) {
    e.nev = ++n;
    e.data[0] = static_cast<std::uint16_t>(n);
    w.write(e);
  }
  w.close(0);
  for (const auto& f : w.files()) std::remove(f.c_str());
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * 140);
}
BENCHMARK(BM_RawFwrite)->MinTime(1.0);
BENCHMARK(BM_EventRecords)->MinTime(1.0);
}  // namespace

BENCHMARK_MAIN();
