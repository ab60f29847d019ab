#include "live_histograms.h"

SpectrumRow<kTdcBins> dtdc[kChannels][2];
SpectrumRow<kAdcBins> dadc[kChannels][2];
std::atomic<std::uint32_t> tdc_overflow[kChannels];
std::atomic<int> ntics{0};

void spectra_clear() {
  for (int ch = 0; ch < kChannels; ++ch) {
    tdc_overflow[ch].store(0, std::memory_order_relaxed);
    for (int r = 0; r < 2; ++r)
      for (auto& b : dtdc[ch][r]) b.store(0, std::memory_order_relaxed);
    for (int r = 0; r < 2; ++r)
      for (auto& b : dadc[ch][r]) b.store(0, std::memory_order_relaxed);
  }
}

void spectrum_snapshot(std::span<const Bin> bins, std::span<std::int32_t> out) {
  std::size_t n = bins.size() < out.size() ? bins.size() : out.size();
  for (std::size_t i = 0; i < n; ++i) out[i] = bins[i].load(std::memory_order_relaxed);
}
