#include "stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

SpectrumStats spectrum_stats(std::span<const std::int32_t> bins, int lo, int hi,
                             std::uint64_t overflow) {
  SpectrumStats s;
  const int n = static_cast<int>(bins.size());
  s.lo = std::max(lo, 0);
  s.hi = std::min(hi, n - 1);
  s.overflow = overflow;
  // Sums relative to the range start keep the doubles exact far out on a
  // 65536-bin axis.
  double sum = 0, sum2 = 0;
  for (int i = 0; i < n; ++i) {
    const std::int64_t c = bins[static_cast<std::size_t>(i)];
    if (c <= 0) continue;
    if (i < s.lo) {
      s.below += static_cast<std::uint64_t>(c);
    } else if (i > s.hi) {
      s.above += static_cast<std::uint64_t>(c);
    } else {
      s.entries += static_cast<std::uint64_t>(c);
      const double d = i - s.lo;
      sum += c * d;
      sum2 += c * d * d;
      if (c > s.peakHeight) {
        s.peakHeight = c;
        s.peakBin = i;
      }
    }
  }
  if (s.entries > 0) {
    const double m = sum / static_cast<double>(s.entries);
    s.mean = s.lo + m;
    s.rms = std::sqrt(std::max(0.0, sum2 / static_cast<double>(s.entries) - m * m));
  }
  return s;
}

std::string format_stats(const SpectrumStats& s) {
  char buf[256];
  if (s.entries == 0)
    std::snprintf(buf, sizeof buf, "%d-%d: no entries  left %llu  right %llu  overflow %llu",
                  s.lo, s.hi, static_cast<unsigned long long>(s.below),
                  static_cast<unsigned long long>(s.above),
                  static_cast<unsigned long long>(s.overflow));
  else
    std::snprintf(buf, sizeof buf,
                  "%d-%d: entries %llu  mean %.2f  RMS %.2f  peak %d (%lld)  left %llu  "
                  "right %llu  overflow %llu",
                  s.lo, s.hi, static_cast<unsigned long long>(s.entries), s.mean, s.rms, s.peakBin,
                  static_cast<long long>(s.peakHeight), static_cast<unsigned long long>(s.below),
                  static_cast<unsigned long long>(s.above),
                  static_cast<unsigned long long>(s.overflow));
  return buf;
}

std::pair<int, int> filled_range(std::span<const std::int32_t> bins) {
  int first = -1, last = -1;
  for (std::size_t i = 0; i < bins.size(); ++i)
    if (bins[i] > 0) {
      if (first < 0) first = static_cast<int>(i);
      last = static_cast<int>(i);
    }
  return {first, last};
}

namespace {
struct Column {
  std::int32_t mn, mx;
  int imn, imx;  // first occurrence of each
};
// The min/max scan runs in AVX2 registers where the processor has them
// (twice as fast as the baseline's SSE2, which lacks a packed 32-bit min).
// The choice is made by the loader, before a sanitizer's run-time is up:
// instrumented builds keep the baseline.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define MDQ_MINMAX_CLONES
#else
#define MDQ_MINMAX_CLONES [[gnu::target_clones("avx2", "default")]]
#endif
MDQ_MINMAX_CLONES Column column_extremes(const std::int32_t* p, int len) {
  std::int32_t mn = p[0], mx = p[0];
  for (int i = 1; i < len; ++i) {
    mn = std::min(mn, p[i]);
    mx = std::max(mx, p[i]);
  }
  return {mn, mx, static_cast<int>(std::find(p, p + len, mn) - p),
          static_cast<int>(std::find(p, p + len, mx) - p)};
}
}  // namespace

bool decimate_range(std::span<const std::int32_t> bins, double lo, double hi, int columns,
                    std::vector<DrawPoint>& out, ColumnOrder order) {
  out.clear();
  const int n = static_cast<int>(bins.size());
  if (n == 0) return true;
  columns = std::max(columns, 1);
  int b0 = std::clamp(static_cast<int>(std::floor(lo)) - 1, 0, n - 1);
  int b1 = std::clamp(static_cast<int>(std::ceil(hi)) + 1, 0, n - 1);
  if (b1 < b0) std::swap(b0, b1);
  const int count = b1 - b0 + 1;
  if (count <= columns) {
    out.reserve(static_cast<std::size_t>(count));
    for (int i = b0; i <= b1; ++i) out.push_back({double(i), double(bins[static_cast<std::size_t>(i)])});
    return true;
  }
  out.reserve(2 * static_cast<std::size_t>(columns) + 2);
  // Column c covers bins [b0 + c*count/columns, b0 + (c+1)*count/columns).
  for (int c = 0; c < columns; ++c) {
    const int s = b0 + static_cast<int>(static_cast<std::int64_t>(c) * count / columns);
    const int e = b0 + static_cast<int>(static_cast<std::int64_t>(c + 1) * count / columns);
    if (e <= s) continue;
    const Column k = column_extremes(bins.data() + s, e - s);
    const int imn = s + k.imn, imx = s + k.imx;
    if (imn == imx) {
      out.push_back({double(imn), double(k.mn)});
    } else if (order == ColumnOrder::Stroke && s >= lo && e - 1 <= hi) {
      // (A column reaching past the range keeps its bins' places, so what
      // is in view can still be told from what is not.)
      const double x = std::min(imn, imx);
      const double last = out.empty() ? k.mn : out.back().y;
      if (std::abs(last - k.mn) <= std::abs(last - k.mx)) {
        out.push_back({x, double(k.mn)});
        out.push_back({x, double(k.mx)});
      } else {
        out.push_back({x, double(k.mx)});
        out.push_back({x, double(k.mn)});
      }
    } else if (imn < imx) {  // in the order they occur, so a slope keeps its direction
      out.push_back({double(imn), double(k.mn)});
      out.push_back({double(imx), double(k.mx)});
    } else {
      out.push_back({double(imx), double(k.mx)});
      out.push_back({double(imn), double(k.mn)});
    }
  }
  return false;
}

namespace {
// The whole pass in one function, so the loops below are compiled (and
// vectorised) for the processor chosen by the loader.
MDQ_MINMAX_CLONES std::int32_t spans_pass(const std::int32_t* bins, int n, double lo, double w,
                                          ColumnSpan* out, int columns, std::int32_t* copy) {
  auto scan = [](const std::int32_t* p, int len, ColumnSpan& k) {
    std::int32_t mn = k.mn, mx = k.mx;
    for (int i = 0; i < len; ++i) {
      mn = std::min(mn, p[i]);
      mx = std::max(mx, p[i]);
    }
    k = {mn, mx};
  };
  auto scanCopy = [](const std::int32_t* p, std::int32_t* d, int len, ColumnSpan& k) {
    std::int32_t mn = k.mn, mx = k.mx;
    for (int i = 0; i < len; ++i) {
      const std::int32_t v = p[i];
      d[i] = v;
      mn = std::min(mn, v);
      mx = std::max(mx, v);
    }
    k = {mn, mx};
  };
  std::int32_t top = 0;
  int copied = 0;  // bins [0, copied) are in `copy`
  for (int c = 0; c < columns; ++c) {
    // The bins under [a, b): from the one holding a to the one holding b's left neighbourhood.
    const double a = lo + c * w, b = lo + (c + 1) * w;
    const int s = static_cast<int>(std::clamp(std::floor(a + 0.5), -1.0, double(n)));
    const int e = static_cast<int>(std::clamp(std::ceil(b + 0.5) - 1, -1.0, double(n)));
    const int s0 = std::max(s, 0), e0 = std::min(e, n - 1);
    ColumnSpan k{std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int32_t>::min()};
    if (s0 > e0) {
      out[c] = {1, 0};
      continue;
    }
    if (copy) {
      if (copied < s0) {
        std::memcpy(copy + copied, bins + copied, sizeof(std::int32_t) * std::size_t(s0 - copied));
        copied = s0;
      }
      if (copied > s0) scan(bins + s0, std::min(copied, e0 + 1) - s0, k);
      if (e0 >= copied) {
        scanCopy(bins + copied, copy + copied, e0 + 1 - copied, k);
        copied = e0 + 1;
      }
    } else {
      scan(bins + s0, e0 + 1 - s0, k);
    }
    out[c] = k;
    top = std::max(top, k.mx);
  }
  if (copy && copied < n)
    std::memcpy(copy + copied, bins + copied, sizeof(std::int32_t) * std::size_t(n - copied));
  return top;
}
}  // namespace

std::int32_t column_spans(std::span<const std::int32_t> bins, double lo, double hi, int columns,
                          std::vector<ColumnSpan>& out, std::span<std::int32_t> copy) {
  columns = std::max(columns, 1);
  out.resize(static_cast<std::size_t>(columns));
  const int n = static_cast<int>(bins.size());
  std::int32_t* to = copy.size() >= bins.size() && n > 0 ? copy.data() : nullptr;
  const double w = (hi - lo) / columns;
  // Copying while scanning saves a pass over the bins in view (a quarter of
  // a full-range hand-over); a few bins per column are copied faster whole.
  if (to && w < 16) {
    std::memcpy(to, bins.data(), sizeof(std::int32_t) * bins.size());
    to = nullptr;
  }
  return spans_pass(bins.data(), n, lo, w, out.data(), columns, to);
}
