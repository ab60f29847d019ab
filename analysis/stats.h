// Numbers of one spectrum over a bin range, and the points that draw it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

struct SpectrumStats {
  int lo = 0, hi = -1;             // bins looked at, inclusive
  std::uint64_t entries = 0;       // counts in [lo, hi]
  double mean = 0, rms = 0;        // of the bin index, weighted by counts; 0 when empty
  int peakBin = -1;                // first bin of the highest count; -1 when empty
  std::int64_t peakHeight = 0;
  std::uint64_t below = 0;         // counts in bins left of lo
  std::uint64_t above = 0;         // counts in bins right of hi
  std::uint64_t overflow = 0;      // values past the last bin, never histogrammed
};

// lo/hi are clamped to the spectrum; an empty or inverted range gives 0 entries.
SpectrumStats spectrum_stats(std::span<const std::int32_t> bins, int lo, int hi,
                             std::uint64_t overflow = 0);
// "7000-9000: entries 270  mean 8012.30  RMS 41.20  peak 8001 (9)  left 3  right 0  overflow 0"
std::string format_stats(const SpectrumStats& s);

// First and last non-empty bin; {-1, -1} for an empty spectrum.
std::pair<int, int> filled_range(std::span<const std::int32_t> bins);

// Points that draw bins [lo, hi] (a visible x range, in bins) on `columns`
// pixel columns. While a column spans more than one bin, each column gives
// its minimum and maximum (a one-bin spike is never lost); once a bin is
// wider than a column every bin is returned as it is. One bin either side
// of the range is included so the line reaches the edges.
struct DrawPoint {
  double x;
  double y;
};
// How a column's two points are given. `Occurrence`: each at its bin, in
// bin order. `Stroke`, for a line drawn through them: both at the column's
// first extreme's bin (the same pixel column), the one nearer to where the
// previous column ended first, so the line crosses each column once rather
// than going up and back down. Columns reaching past [lo, hi] are given as
// `Occurrence`.
enum class ColumnOrder { Occurrence, Stroke };
// Returns true when the points are the bins themselves (full resolution).
bool decimate_range(std::span<const std::int32_t> bins, double lo, double hi, int columns,
                    std::vector<DrawPoint>& out, ColumnOrder order = ColumnOrder::Occurrence);

// One pixel column of a spectrum drawn as vertical spans: the least and the
// greatest count of the bins the column touches, bin i covering
// [i - 0.5, i + 0.5). A bin straddling two columns counts in both, so bins
// wider than a column come out as the steps they are (one row, and the
// rise where a bin ends), and a one-bin spike is never lost. A column past
// the spectrum's ends has mn > mx.
struct ColumnSpan {
  std::int32_t mn, mx;
};
// `columns` equal slices of the x range [lo, hi). Returns the greatest
// count shown (0 when nothing is). With `copy` (as long as `bins`), the
// bins are also copied there in the same pass.
std::int32_t column_spans(std::span<const std::int32_t> bins, double lo, double hi, int columns,
                          std::vector<ColumnSpan>& out, std::span<std::int32_t> copy = {});
