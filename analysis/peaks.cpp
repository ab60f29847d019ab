#include "peaks.h"

#include <algorithm>
#include <cmath>

#include "fit.h"

namespace {

std::int32_t count_of(std::int32_t c) { return c; }
std::int32_t count_of(const std::atomic<std::int32_t>& c) {
  return c.load(std::memory_order_relaxed);
}

template <class B>
BinRange window_of(std::span<B> bins) {
  const std::size_t n = bins.size();
  if (n == 0) return {};
  const std::size_t b = std::max<std::size_t>(1, n / 1024);
  const std::size_t m = (n + b - 1) / b;
  std::vector<std::int64_t> coarse(m, 0);
  for (std::size_t j = 0, i = 0; j < m; ++j) {
    std::int64_t sum = 0;
    for (const std::size_t end = std::min(n, i + b); i < end; ++i)
      sum += std::max<std::int32_t>(0, count_of(bins[i]));
    coarse[j] = sum;
  }
  std::vector<std::int64_t> s(m, 0);
  for (std::size_t j = 0; j < m; ++j)
    s[j] = coarse[j] + (j > 0 ? coarse[j - 1] : 0) + (j + 1 < m ? coarse[j + 1] : 0);
  const std::size_t top = static_cast<std::size_t>(std::max_element(s.begin(), s.end()) - s.begin());
  if (s[top] == 0) return {};
  const std::int64_t edge = s[top] / 4;
  std::size_t l = top, r = top;
  while (l > 0 && s[l - 1] > edge) --l;
  while (r + 1 < m && s[r + 1] > edge) ++r;
  const std::size_t lo = l * b, hi = std::min(n, (r + 1) * b) - 1;
  // The blocks already reach past the peak; a margin of half its width
  // (at least 8 bins) leaves the fit some of the flanks' floor.
  const std::size_t margin = std::max<std::size_t>(8, (hi - lo + 1) / 2);
  return {static_cast<int>(lo >= margin ? lo - margin : 0),
          static_cast<int>(std::min(n - 1, hi + margin))};
}

template <class B>
PeakCut cut_of(std::span<B> bins) {
  PeakCut cut;
  const BinRange w = window_of(bins);
  if (w.hi < w.lo) return cut;
  cut.lo = w.lo;
  cut.bins.resize(static_cast<std::size_t>(w.hi - w.lo + 1));
  for (std::size_t i = 0; i < cut.bins.size(); ++i)
    cut.bins[i] = count_of(bins[static_cast<std::size_t>(w.lo) + i]);
  return cut;
}

}  // namespace

BinRange peak_window(std::span<const std::int32_t> bins) { return window_of(bins); }
BinRange peak_window(std::span<const std::atomic<std::int32_t>> bins) { return window_of(bins); }
PeakCut cut_peak(std::span<const std::int32_t> bins) { return cut_of(bins); }
PeakCut cut_peak(std::span<const std::atomic<std::int32_t>> bins) { return cut_of(bins); }

float fit_cut(const PeakCut& cut) {
  if (cut.bins.empty()) return NAN;
  // A wide window is fitted in groups of bins, at most kFitBins of them:
  // the cost of a fit grows with its bins, and a window this wide holds a
  // peak many groups wide.
  constexpr std::size_t kFitBins = 128;
  const std::size_t n = cut.bins.size();
  const std::size_t group = (n + kFitBins - 1) / kFitBins;
  std::vector<std::int32_t> grouped((n + group - 1) / group, 0);
  for (std::size_t i = 0; i < n; ++i) grouped[i / group] += cut.bins[i];
  const FitResult r =
      fit_gaussian(grouped, 0, static_cast<int>(grouped.size()) - 1, /*background=*/false);
  if (!r.ok) return NAN;
  // Group j covers bins j*group .. j*group + group - 1 of the window.
  return static_cast<float>(cut.lo + r.mean * static_cast<double>(group) +
                            0.5 * static_cast<double>(group - 1));
}

PositionPeaks fit_position(const PositionCuts& cuts) {
  PositionPeaks out;
  for (std::size_t k = 0; k < cuts.size(); ++k)
    for (std::size_t ch = 0; ch < 32; ++ch) out[k][ch] = fit_cut(cuts[k][ch]);
  return out;
}
