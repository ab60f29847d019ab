// The per-position peak: its window on a full-size spectrum, its fit, and
// the fitted map filled live by the run hooks and rebuilt from a run file.
#include <gtest/gtest.h>

#include "temp_dir.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <unistd.h>

#include "run_state.h"
#include "decode.h"
#include "live_histograms.h"
#include "peaks.h"
#include "run_map.h"
#include "runfile.h"
#include "scanmap.h"
#include "instrumented.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// `events` values from a Gaussian, filled into a spectrum of n bins.
std::vector<std::int32_t> sparse_peak(int n, double mean, double sigma, int events, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(mean, sigma);
  std::vector<std::int32_t> bins(static_cast<std::size_t>(n));
  for (int i = 0; i < events; ++i) {
    const long b = std::lround(g(rng));
    if (b >= 0 && b < n) ++bins[static_cast<std::size_t>(b)];
  }
  return bins;
}

TEST(PeakWindow, FindsASparseTdcPeakAmongNoiseAndFitsItOnly) {
  // 300 events of a 40-bin wide peak over 65,536 bins, 200 more spread
  // evenly and a lone spike higher than any bin of the peak.
  auto bins = sparse_peak(65536, 8040.0, 40.0, 300, 1);
  std::mt19937 rng(2);
  for (int i = 0; i < 200; ++i) ++bins[rng() % 65536];
  bins[30000] += 9;
  const BinRange w = peak_window(bins);
  ASSERT_LE(w.lo, 8040 - 3 * 40);
  ASSERT_GE(w.hi, 8040 + 3 * 40);
  EXPECT_LT(w.hi - w.lo, 1000) << "the window is the peak, not the spectrum";
  const PeakCut cut = cut_peak(bins);
  EXPECT_EQ(cut.lo, w.lo);
  ASSERT_EQ(cut.bins.size(), static_cast<std::size_t>(w.hi - w.lo + 1));
  EXPECT_EQ(cut.bins[static_cast<std::size_t>(8040 - w.lo)], bins[8040]);
  // The mean of 300 values of sigma 40 is known to about 2.3 bins.
  EXPECT_NEAR(fit_cut(cut), 8040.0, 8.0);
}

TEST(PeakWindow, TakesTheAdcPedestalAndLeavesThePhotoelectronPeaksOut) {
  // Pedestal at 150 (sigma 3) holding the most counts; photoelectron peaks
  // 60 apart with fewer each.
  std::vector<std::int32_t> bins(4096);
  const double heights[] = {400, 150, 250, 250, 180, 100};
  for (int k = 0; k < 6; ++k) {
    const auto p = sparse_peak(4096, 150.0 + 60.0 * k, k ? 6.0 * std::sqrt(k) : 3.0,
                               static_cast<int>(heights[k]), 10 + static_cast<unsigned>(k));
    for (std::size_t i = 0; i < bins.size(); ++i) bins[i] += p[i];
  }
  const BinRange w = peak_window(bins);
  EXPECT_LE(w.lo, 141);
  EXPECT_GE(w.hi, 159);
  EXPECT_LT(w.hi, 190) << "the first photoelectron peak (210) stays out";
  EXPECT_NEAR(fit_cut(cut_peak(bins)), 150.0, 0.5);
}

TEST(PeakWindow, NoPeakNoValue) {
  std::vector<std::int32_t> empty(65536), flat(4096, 2);
  EXPECT_LT(peak_window(empty).hi, peak_window(empty).lo);
  EXPECT_TRUE(cut_peak(empty).bins.empty());
  EXPECT_TRUE(std::isnan(fit_cut(cut_peak(empty))));
  EXPECT_TRUE(std::isnan(fit_cut(cut_peak(flat))));
  // A single count is no peak a fit can stand on.
  empty[500] = 1;
  EXPECT_TRUE(std::isnan(fit_cut(cut_peak(empty))));
}

TEST(PeakWindow, LiveBinsCutAsTheirCopy) {
  const auto bins = sparse_peak(kAdcBins, 700.0, 12.0, 500, 5);
  std::vector<Bin> live(bins.size());
  for (std::size_t i = 0; i < bins.size(); ++i) live[i].store(bins[i]);
  const PeakCut a = cut_peak(bins), b = cut_peak(std::span<const Bin>(live));
  EXPECT_EQ(a.lo, b.lo);
  EXPECT_EQ(a.bins, b.bins);
  EXPECT_FALSE(a.bins.empty());
}

struct TempDir : mdq::test::TempDir {
  TempDir() : mdq::test::TempDir("peaks") {}
};

TEST(PeakMap, FitsOfAnEarlierRunAreDroppedAndFailedFitsExportEmpty) {
  ScanMap m;
  ASSERT_TRUE(m.reset({2, 1, 0, 10, 0, 0}));
  m.position(0, 0, 0, 0);
  m.position(1, 0, 10, 0);
  const unsigned old = m.generation();
  PositionPeaks p = ScanMap::no_peaks();
  p[0][3] = 8040.5f;
  m.set_peaks(0, 0, old, p);
  ASSERT_TRUE(m.reset({2, 1, 0, 10, 0, 0}));
  m.position(0, 0, 0, 0);
  m.position(1, 0, 10, 0);
  m.set_peaks(0, 0, old, p);
  EXPECT_TRUE(std::isnan(m.values(3, MapQuantity::PeakTdc)[0])) << "a late fit of the run before";
  m.set_peaks(0, 0, m.generation(), p);
  EXPECT_FLOAT_EQ(m.values(3, MapQuantity::PeakTdc)[0], 8040.5f);
  EXPECT_TRUE(std::isnan(m.values(3, MapQuantity::PeakAdc0)[0]));

  TempDir d;
  std::string why;
  ASSERT_EQ(m.export_csv(d / "p.csv", 3, MapQuantity::PeakTdc, &why), 0) << why;
  const std::string csv = mdq::test::read_text(d / "p.csv");
  EXPECT_EQ(csv,
            "ix,iy,xset,yset,channel,quantity,value\n"
            "0,0,0,0,3,peak_tdc,8040.5\n"
            "1,0,10,0,3,peak_tdc,\n");
}

// Fills the live spectra of channel ch as the decoder would.
void fill_live(int ch, const std::vector<std::int32_t>& tdc, const std::vector<std::int32_t>& adc0) {
  for (std::size_t i = 0; i < tdc.size(); ++i) dtdc[ch][0][i].store(tdc[i]);
  for (std::size_t i = 0; i < adc0.size(); ++i) dadc[ch][0][i].store(adc0[i]);
}

TEST(PeakMap, RunHooksFitEachPositionWhenItIsLeftAndTheLastAtTheEnd) {
  run_state().reset();
  spectra_clear();
  RUNREC run;
  run.nx = 2, run.ny = 1, run.dx = 5;
  scan_map_run_start(run);
  POSREC p;
  scan_map_position(p);
  fill_live(7, sparse_peak(kTdcBins, 9000, 30, 400, 21), sparse_peak(kAdcBins, 180, 3, 400, 22));
  p.ix = 1, p.xset = 5;
  scan_map_position(p);  // the first position's spectra are cut here
  spectra_clear();
  fill_live(7, sparse_peak(kTdcBins, 12000, 30, 400, 23), {});
  scan_map_run_end();
  ASSERT_TRUE(scan_map_fits_done(10s));
  const auto tdc = shown_scan_map().values(7, MapQuantity::PeakTdc);
  const auto adc = shown_scan_map().values(7, MapQuantity::PeakAdc0);
  EXPECT_NEAR(tdc[0], 9000, 6);
  EXPECT_NEAR(tdc[1], 12000, 6);
  EXPECT_NEAR(adc[0], 180, 0.5);
  EXPECT_TRUE(std::isnan(adc[1]));
  EXPECT_TRUE(std::isnan(shown_scan_map().values(6, MapQuantity::PeakTdc)[0]));
  EXPECT_EQ(scan_map_fits_dropped(), 0u);
  spectra_clear();
}

TEST(PeakMap, PositionChangesNeverWaitForFitsThatFellBehind) {
  // Positions left far faster than a fit takes: the position change stays
  // short, the fits past the backlog are dropped and the run's end says so.
  run_state().reset();
  spectra_clear();
  for (int ch = 0; ch < kChannels; ++ch)
    fill_live(ch, sparse_peak(kTdcBins, 8000 + 40 * ch, 40, 500, 40 + static_cast<unsigned>(ch)),
              sparse_peak(kAdcBins, 150, 3, 500, 80 + static_cast<unsigned>(ch)));
  // 300 positions: the backlog (64) overflows even when the fits run at a
  // third of the cuts' pace, as on a machine busy with other tests.
  RUNREC run;
  run.nx = 300, run.ny = 1, run.dx = 1;
  scan_map_run_start(run);
  const std::uint64_t before = scan_map_fits_dropped();
  POSREC p;
  const auto t0 = std::chrono::steady_clock::now();
  for (p.ix = 0; p.ix < 300; ++p.ix) scan_map_position(p);
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  // (Instrumented, cutting the windows is slowed more than fitting, so the
  // fits may keep up.)
  if (!mdq::test::kInstrumented) {
    EXPECT_GT(scan_map_fits_dropped(), before);
  }
  // Fitted in place, 300 positions would take seconds (10 ms and more
  // each); cutting their windows takes a millisecond or two each.
  EXPECT_LT(took, 2.0 * mdq::test::kSlowdown);
  scan_map_run_end();
  ASSERT_TRUE(scan_map_fits_done(30s));
  const auto peaks = shown_scan_map().values(5, MapQuantity::PeakTdc);
  EXPECT_NEAR(peaks[0], 8200, 8) << "the first positions are fitted";
  spectra_clear();
}

TEST(PeakMap, StoredRunIsFittedPositionByPosition) {
  TempDir d;
  run_state().reset();
  RunFileWriter w;
  ASSERT_TRUE(w.open(d / "peaks", 0));
  RUNREC run;
  run.nx = 3, run.ny = 1, run.dx = 1;
  ASSERT_TRUE(w.write(run));
  std::mt19937 rng(4);
  std::normal_distribution<double> g(0, 1);
  for (int ix = 0; ix < 3; ++ix) {
    POSREC p;
    p.ix = ix, p.xset = ix;
    ASSERT_TRUE(w.write(p));
    for (int n = 0; n < 300; ++n) {
      EVTREC e;
      e.nev = static_cast<std::uint32_t>(n + 1);
      e.data[2] = static_cast<std::uint16_t>(std::lround(7000 + 1000 * ix + 25 * g(rng)));
      if (ix != 1) e.data[32 + 2] = static_cast<std::uint16_t>(std::lround(300 + 4 * g(rng)));
      ASSERT_TRUE(w.write(e));
    }
  }
  ASSERT_TRUE(w.close(1));
  ScanMap stored;
  ReplaySelection all;
  ASSERT_EQ(scan_map_from_run(w.files(), all, stored), 0);
  const auto tdc = stored.values(2, MapQuantity::PeakTdc);
  const auto adc = stored.values(2, MapQuantity::PeakAdc0);
  for (int ix = 0; ix < 3; ++ix)
    EXPECT_NEAR(tdc[static_cast<std::size_t>(ix)], 7000 + 1000 * ix, 5) << "position " << ix;
  EXPECT_NEAR(adc[0], 300, 1);
  EXPECT_TRUE(std::isnan(adc[1])) << "no ADC value at the middle position";
  EXPECT_NEAR(adc[2], 300, 1);
  EXPECT_TRUE(std::isnan(stored.values(2, MapQuantity::PeakAdc1)[0])) << "gain 1 is not stored";
}

}  // namespace
