#include "live_histograms.h"

#include <sys/mman.h>

#ifdef MDQ_BIN_ADD_IN_PLACE
#include <emmintrin.h>
#endif

#include <cstdint>

// The spectra are 17 MB, cleared at every run start and position. Aligned to
// 2 MB and marked before their first touch they are backed by huge pages
// where the kernel allows it: in a run on the simulated stand the clear then
// took a quarter of the time it takes over 4,400 small pages.
alignas(2 << 20) SpectrumRow<kTdcBins> dtdc[kChannels][2];
alignas(2 << 20) SpectrumRow<kAdcBins> dadc[kChannels][2];
std::atomic<std::uint32_t> tdc_overflow[kChannels];
std::atomic<int> ntics{0};

namespace {
void advise_huge(void* p, std::size_t bytes) {
  constexpr std::uintptr_t kHuge = 2u << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t end = (begin + bytes + kHuge - 1) & ~(kHuge - 1);
  (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // a hint only
}
const bool g_advised = [] {
  advise_huge(dtdc, sizeof dtdc);
  advise_huge(dadc, sizeof dadc);
  return true;
}();
}  // namespace

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
  std::size_t i = 0;
#ifdef MDQ_BIN_ADD_IN_PLACE
  // Atomic loads are never vectorised: one bin at a time took the panel's
  // refresh 8 times as long as a copy. Each 4-byte bin lies whole inside
  // every 16-byte load, so the copy sees each bin as a load of it would.
  const auto* src = reinterpret_cast<const __m128i*>(bins.data());
  auto* dst = reinterpret_cast<__m128i*>(out.data());
  for (; i + 4 <= n; i += 4) _mm_storeu_si128(dst++, _mm_loadu_si128(src++));
#endif
  for (; i < n; ++i) out[i] = bins[i].load(std::memory_order_relaxed);
}
