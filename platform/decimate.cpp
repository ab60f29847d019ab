#include "decimate.h"

void minmax_decimate(std::span<const std::int32_t> data, int columns,
                     std::vector<DecimatedPoint>& out) {
  out.clear();
  const std::size_t n = data.size();
  if (n == 0) return;
  if (columns < 1) columns = 1;
  const std::size_t cols = static_cast<std::size_t>(columns);
  if (n <= 2 * cols) {
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back({double(i), double(data[i])});
    return;
  }
  out.reserve(2 * cols);
  for (std::size_t c = 0; c < cols; ++c) {
    std::size_t lo = c * n / cols, hi = (c + 1) * n / cols;
    std::size_t imin = lo, imax = lo;
    for (std::size_t i = lo + 1; i < hi; ++i) {
      if (data[i] < data[imin]) imin = i;
      if (data[i] > data[imax]) imax = i;
    }
    // Keep x order so the line runs left to right.
    if (imin <= imax) {
      out.push_back({double(imin), double(data[imin])});
      out.push_back({double(imax), double(data[imax])});
    } else {
      out.push_back({double(imax), double(data[imax])});
      out.push_back({double(imin), double(data[imin])});
    }
  }
}

std::vector<DecimatedPoint> minmax_decimate(std::span<const std::int32_t> data, int columns) {
  std::vector<DecimatedPoint> out;
  minmax_decimate(data, columns, out);
  return out;
}
