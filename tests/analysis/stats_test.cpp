// Spectrum numbers and the points that draw a visible range.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "stats.h"

namespace {

TEST(SpectrumStats, EmptySpectrumHasNoEntriesAndNoPeak) {
  std::vector<std::int32_t> bins(4096, 0);
  const SpectrumStats s = spectrum_stats(bins, 0, 4095, 0);
  EXPECT_EQ(s.entries, 0u);
  EXPECT_EQ(s.peakBin, -1);
  EXPECT_EQ(s.mean, 0);
  EXPECT_EQ(s.rms, 0);
  EXPECT_EQ(s.below + s.above, 0u);
  EXPECT_EQ(format_stats(s).find("nan"), std::string::npos);
  EXPECT_NE(format_stats(s).find("no entries"), std::string::npos);
}

TEST(SpectrumStats, AllCountsInOneBin) {
  std::vector<std::int32_t> bins(65536, 0);
  bins[60000] = 17;
  const SpectrumStats s = spectrum_stats(bins, 0, 65535, 3);
  EXPECT_EQ(s.entries, 17u);
  EXPECT_DOUBLE_EQ(s.mean, 60000.0);
  EXPECT_DOUBLE_EQ(s.rms, 0.0);
  EXPECT_EQ(s.peakBin, 60000);
  EXPECT_EQ(s.peakHeight, 17);
  EXPECT_EQ(s.overflow, 3u);
}

TEST(SpectrumStats, HandComputedRangeWithCountsEitherSide) {
  // Bins 10..13 hold 1, 2, 3, 2 and bins 5 and 20 lie outside [10, 13].
  std::vector<std::int32_t> bins(32, 0);
  bins[10] = 1, bins[11] = 2, bins[12] = 3, bins[13] = 2;
  bins[5] = 4, bins[20] = 6;
  const SpectrumStats s = spectrum_stats(bins, 10, 13);
  EXPECT_EQ(s.entries, 8u);
  // mean = (10 + 22 + 36 + 26) / 8 = 11.75; variance = (1*3.0625 + 2*0.5625 + 3*0.0625 + 2*1.5625)/8
  EXPECT_DOUBLE_EQ(s.mean, 11.75);
  EXPECT_NEAR(s.rms, std::sqrt(7.5 / 8), 1e-12);
  EXPECT_EQ(s.peakBin, 12);
  EXPECT_EQ(s.peakHeight, 3);
  EXPECT_EQ(s.below, 4u);
  EXPECT_EQ(s.above, 6u);
  // Ties give the first bin; ranges are clamped to the spectrum.
  bins[11] = 6;
  EXPECT_EQ(spectrum_stats(bins, -100, 100).peakBin, 11);
  EXPECT_EQ(spectrum_stats(bins, -100, 100).entries, 22u);
  EXPECT_EQ(spectrum_stats(bins, 25, 24).entries, 0u);
}

TEST(SpectrumStats, MeanFarOutOnTheAxisKeepsItsDigits) {
  std::vector<std::int32_t> bins(65536, 0);
  bins[65000] = 1000000, bins[65001] = 1000000;
  const SpectrumStats s = spectrum_stats(bins, 0, 65535);
  EXPECT_DOUBLE_EQ(s.mean, 65000.5);
  EXPECT_NEAR(s.rms, 0.5, 1e-9);
}

TEST(FilledRange, FirstAndLastNonEmptyBin) {
  std::vector<std::int32_t> bins(100, 0);
  EXPECT_EQ(filled_range(bins), std::make_pair(-1, -1));
  bins[7] = 1, bins[42] = 3;
  EXPECT_EQ(filled_range(bins), std::make_pair(7, 42));
}

TEST(DecimateRange, ZoomedPastOneBinPerColumnGivesTheBinsThemselves) {
  std::vector<std::int32_t> bins(65536);
  for (int i = 0; i < 65536; ++i) bins[static_cast<std::size_t>(i)] = i % 7;
  std::vector<DrawPoint> out;
  EXPECT_TRUE(decimate_range(bins, 1000, 1100, 800, out));
  ASSERT_EQ(out.size(), 103u);  // one bin either side
  for (const DrawPoint& p : out) EXPECT_EQ(p.y, static_cast<int>(p.x) % 7);
  EXPECT_EQ(out.front().x, 999);
  EXPECT_EQ(out.back().x, 1101);
}

TEST(DecimateRange, FullRangeKeepsEverySpikeAndAtMostTwoPointsPerColumn) {
  std::vector<std::int32_t> bins(65536, 5);
  bins[100] = 900;    // lone spike
  bins[40000] = 0;    // lone dip
  bins[65535] = 77;   // last bin
  std::vector<DrawPoint> out;
  EXPECT_FALSE(decimate_range(bins, -0.5, 65535.5, 700, out));
  EXPECT_LE(out.size(), 1400u);
  auto has = [&](double x, double y) {
    for (const DrawPoint& p : out)
      if (p.x == x && p.y == y) return true;
    return false;
  };
  EXPECT_TRUE(has(100, 900));
  EXPECT_TRUE(has(40000, 0));
  EXPECT_TRUE(has(65535, 77));
  for (std::size_t i = 1; i < out.size(); ++i) EXPECT_LE(out[i - 1].x, out[i].x);
}

TEST(DecimateRange, ZoomedButStillDenseOnlyLooksAtTheVisibleBins) {
  std::vector<std::int32_t> bins(65536, 1);
  bins[10] = 1000;  // outside the view: must not set the scale
  std::vector<DrawPoint> out;
  EXPECT_FALSE(decimate_range(bins, 20000, 30000, 500, out));
  for (const DrawPoint& p : out) {
    EXPECT_GE(p.x, 19999);
    EXPECT_LE(p.x, 30001);
    EXPECT_EQ(p.y, 1);
  }
}

TEST(DecimateRange, StrokeOrderCrossesEachColumnOnceAndKeepsEveryValue) {
  // A rising saw, one tooth per column: drawn in bin order the line climbs
  // each tooth and falls back to the next one's start.
  std::vector<std::int32_t> bins(65536);
  for (int i = 0; i < 65536; ++i) bins[static_cast<std::size_t>(i)] = i % 16;
  bins[30005] = 900;
  std::vector<DrawPoint> occ, str;
  ASSERT_FALSE(decimate_range(bins, -0.5, 65535.5, 4096, occ));
  ASSERT_FALSE(decimate_range(bins, -0.5, 65535.5, 4096, str, ColumnOrder::Stroke));
  ASSERT_EQ(str.size(), occ.size());
  auto travel = [](const std::vector<DrawPoint>& v) {
    double t = 0;
    for (std::size_t i = 1; i < v.size(); ++i) t += std::abs(v[i].y - v[i - 1].y);
    return t;
  };
  EXPECT_LE(travel(str), 0.55 * travel(occ));
  // Same values column by column (pairs at one bin, in bin order).
  for (std::size_t i = 0; i + 1 < str.size(); i += 2) {
    EXPECT_EQ(str[i].x, str[i + 1].x);
    EXPECT_EQ(std::min(str[i].y, str[i + 1].y), std::min(occ[i].y, occ[i + 1].y));
    EXPECT_EQ(std::max(str[i].y, str[i + 1].y), std::max(occ[i].y, occ[i + 1].y));
    EXPECT_GE(str[i].x, std::min(occ[i].x, occ[i + 1].x));
    if (i + 2 < str.size()) {
      EXPECT_LT(str[i].x, str[i + 2].x);
    }
  }
  bool spike = false;
  for (const DrawPoint& p : str) spike |= p.y == 900 && p.x >= 30000 && p.x < 30016;
  EXPECT_TRUE(spike);
}

TEST(DecimateRange, StrokeOrderKeepsWhatIsOutOfViewApart) {
  // The first column holds two bins left of the view: its visible maximum
  // must stay at a visible place, the hidden minimum at a hidden one.
  std::vector<std::int32_t> bins(65536, 1);
  bins[19998] = 0;
  bins[20000] = 500;
  std::vector<DrawPoint> out;
  const double lo = 19999.5, hi = 30000.5;
  ASSERT_FALSE(decimate_range(bins, lo, hi, 500, out, ColumnOrder::Stroke));
  double visibleMax = 0;
  for (const DrawPoint& p : out) {
    if (p.x >= lo && p.x <= hi) visibleMax = std::max(visibleMax, p.y);
    else EXPECT_EQ(p.y, bins[static_cast<std::size_t>(p.x)]) << p.x;
  }
  EXPECT_EQ(visibleMax, 500);
}

// The bins column c of [lo, hi) touches, worked out the slow way.
ColumnSpan touched(const std::vector<std::int32_t>& bins, double lo, double hi, int columns,
                   int c) {
  const double a = lo + (hi - lo) * c / columns, b = lo + (hi - lo) * (c + 1) / columns;
  ColumnSpan s{1, 0};
  for (int i = 0; i < static_cast<int>(bins.size()); ++i)
    if (i + 0.5 > a && i - 0.5 < b) {
      const std::int32_t v = bins[static_cast<std::size_t>(i)];
      s = s.mn > s.mx ? ColumnSpan{v, v} : ColumnSpan{std::min(s.mn, v), std::max(s.mx, v)};
    }
  return s;
}

TEST(ColumnSpans, EachColumnSpansTheBinsItTouchesAndKeepsEverySpike) {
  std::vector<std::int32_t> bins(65536);
  std::uint32_t r = 7;
  for (auto& b : bins) b = static_cast<std::int32_t>((r = r * 1664525u + 1013904223u) >> 28);
  bins[100] = 900;    // lone spike
  bins[40000] = -3;   // lone dip
  bins[65535] = 77;   // last bin
  std::vector<ColumnSpan> out;
  struct View {
    double lo, hi;
    int columns;
  };
  // Full range on an odd width; zoomed but dense; zoomed past a bin per column.
  for (View v : {View{-0.5, 65535.5, 543}, View{19999.3, 30017.9, 500}, View{12299.5, 12400.5, 543}}) {
    SCOPED_TRACE(v.lo);
    const std::int32_t top = column_spans(bins, v.lo, v.hi, v.columns, out);
    ASSERT_EQ(out.size(), static_cast<std::size_t>(v.columns));
    std::int32_t highest = 0;
    for (int c = 0; c < v.columns; ++c) {
      const ColumnSpan want = touched(bins, v.lo, v.hi, v.columns, c);
      EXPECT_EQ(out[static_cast<std::size_t>(c)].mn, want.mn) << c;
      EXPECT_EQ(out[static_cast<std::size_t>(c)].mx, want.mx) << c;
      highest = std::max(highest, want.mx);
    }
    EXPECT_EQ(top, highest);
  }
  column_spans(bins, -0.5, 65535.5, 543, out);
  auto shows = [&](std::int32_t v) {
    for (const ColumnSpan& s : out)
      if (s.mn == v || s.mx == v) return true;
    return false;
  };
  EXPECT_TRUE(shows(900));
  EXPECT_TRUE(shows(-3));
  EXPECT_EQ(out.back().mx, 77);
}

TEST(ColumnSpans, WideBinsComeOutAsStepsAndColumnsPastTheEndsAsEmpty) {
  std::vector<std::int32_t> bins(10);
  for (int i = 0; i < 10; ++i) bins[static_cast<std::size_t>(i)] = 10 * i;
  std::vector<ColumnSpan> out;
  // Eight columns a bin (edges exactly on column boundaries), and five
  // bins' width past the end.
  EXPECT_EQ(column_spans(bins, -0.5, 14.5, 120, out), 90);
  for (int c = 0; c < 120; ++c) {
    const ColumnSpan s = out[static_cast<std::size_t>(c)];
    if (c >= 80) {
      EXPECT_GT(s.mn, s.mx) << c;
    } else {
      // One bin, also in the column starting at its edge: the rise is
      // drawn by joining that column to the one before.
      EXPECT_EQ(s.mn, 10 * (c / 8)) << c;
      EXPECT_EQ(s.mx, 10 * (c / 8)) << c;
    }
  }
  // A bin edge inside a column: that column holds the rise.
  column_spans(bins, -0.55, 9.45, 100, out);
  EXPECT_EQ(out[10].mn, 0);
  EXPECT_EQ(out[10].mx, 10);
}

TEST(ColumnSpans, CopiesTheBinsInTheSamePass) {
  std::vector<std::int32_t> bins(65536);
  for (int i = 0; i < 65536; ++i) bins[static_cast<std::size_t>(i)] = (i * 7919) % 1013;
  std::vector<ColumnSpan> out, plain;
  // Full range (copied while scanned), zoomed (copied whole), past an end.
  for (double lo : {-0.5, 30000.0, 65000.0}) {
    const double hi = lo < 0 ? 65535.5 : lo + 3000;
    std::vector<std::int32_t> copy(65536, -1);
    EXPECT_EQ(column_spans(bins, lo, hi, 543, out, copy), column_spans(bins, lo, hi, 543, plain));
    EXPECT_EQ(copy, bins) << lo;
    for (std::size_t c = 0; c < out.size(); ++c) {
      EXPECT_EQ(out[c].mn, plain[c].mn);
      EXPECT_EQ(out[c].mx, plain[c].mx);
    }
  }
}

}  // namespace
