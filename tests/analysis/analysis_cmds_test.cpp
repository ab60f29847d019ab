// The analysis controls driven through the dispatch without a window: the
// numbers under the graphs, zoom, fits and the stored-run map.
#include <gtest/gtest.h>

#include "temp_dir.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <unistd.h>

#include "backend.h"
#include "dispatch.h"
#include "display.h"
#include "mdq_main.h"
#include "mdq_ui.h"
#include "platform.h"
#include "run_map.h"
#include "runfile.h"
#include "live_histograms.h"
#include "run_state.h"

namespace fs = std::filesystem;
using mdq::platform::ConsoleCapture;

namespace {

std::string text_of(int control) {
  std::string s;
  GetCtrlVal(p1h, control, &s);
  return s;
}

void x_range(int graph, int* mode, double* lo, double* hi) {
  GetAxisScalingMode(p1h, graph, VAL_XAXIS, mode, lo, hi);
}

class AnalysisControls : public ::testing::Test {
 protected:
  void SetUp() override {
    mdq::platform::reset_for_tests();
    p1h = 1;
    panel_install_handlers();
    replay_install_handlers();
    analysis_install_handlers();
    run_state().reset();
    spectra_clear();
    for (int c : {P1_CHANNEL, P1_TDC_RANGE, P1_ADC_RANGE, P1_LOAD_IX, P1_LOAD_IY, P1_MAP_QUANTITY,
                  P1_FIT_BACKGROUND})
      SetCtrlVal(p1h, c, 0);
    SetCtrlVal(p1h, P1_LOAD_ALL, 1);
    // Channel 2: a TDC peak at 8040 (sigma 40, ~5000 hits) and a few values past the last bin.
    std::mt19937 rng(4);
    std::normal_distribution<double> g(8040, 40);
    for (int i = 0; i < 5000; ++i) spectrum_add(dtdc[2][0][static_cast<int>(std::lround(g(rng)))]);
    tdc_overflow[2] = 6;
    SetCtrlVal(p1h, P1_CHANNEL, 2);
    char tmpl[] = "/tmp/mdq_anacmd_XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override {
    set_after_plots_hook(nullptr);
    fs::remove_all(dir_);
  }
  std::string path(const std::string& n) const { return (dir_ / n).string(); }
  fs::path dir_;
};

TEST_F(AnalysisControls, StatisticsFollowTheVisibleRange) {
  update_plots();
  const std::string full = text_of(P1_TDC_STATS);
  EXPECT_NE(full.find("0-65535: entries 5000 "), std::string::npos) << full;
  EXPECT_NE(full.find("overflow 6"), std::string::npos) << full;
  EXPECT_NE(text_of(P1_ADC_STATS).find("no entries"), std::string::npos);

  // The user zooms (the graph reports its new range): only the upper half of the peak.
  // Bin b is drawn over [b - 0.5, b + 0.5]: from 8040.6 on, 8040 is out of view.
  SetAxisScalingMode(p1h, P1_TDC_GRAPH, VAL_XAXIS, VAL_MANUAL, 8040.6, 9000);
  session_dispatch(P1_TDC_GRAPH);
  const std::string half = text_of(P1_TDC_STATS);
  EXPECT_NE(half.find("8041-9000: "), std::string::npos) << half;
  std::uint64_t left = 0;
  for (int b = 0; b <= 8040; ++b) left += static_cast<std::uint64_t>(dtdc[2][0][b].load());
  EXPECT_NE(half.find("left " + std::to_string(left) + " "), std::string::npos) << half;
  EXPECT_GT(left, 2000u);
  EXPECT_LT(left, 3000u);
}

TEST_F(AnalysisControls, FitUsesTheVisibleRangeAndPrintsOneLine) {
  ConsoleCapture con;
  SetAxisScalingMode(p1h, P1_TDC_GRAPH, VAL_XAXIS, VAL_MANUAL, 7800, 8300);
  session_dispatch(P1_TDC_FIT);
  const std::string out = con.text();
  ASSERT_EQ(out.rfind("Fit TDC ch 2 bins 7800-8300: mean ", 0), 0u) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
  double mean = 0, err = 0;
  ASSERT_EQ(std::sscanf(out.c_str(), "Fit TDC ch 2 bins 7800-8300: mean %lf +- %lf", &mean, &err), 2);
  EXPECT_NEAR(mean, 8040, 3 * err);
  EXPECT_NEAR(err, 40 / std::sqrt(5000.0), 0.2);

  // The ADC spectrum is empty: a failure line, no numbers.
  con.clear();
  session_dispatch(P1_ADC_FIT);
  EXPECT_EQ(con.text(), "Fit ADC ch 2 bins 0-4095: failed: no entries in range\n");

  // The spectra export takes the fit shown along; a channel change takes it away.
  QueueFileSelection(path("sp.csv"));
  session_dispatch(P1_EXPORT_CSV);
  std::ifstream fit(path("sp_fit.txt"));
  std::string kept;
  std::getline(fit, kept);
  EXPECT_EQ(kept + "\n", out);
  SetCtrlVal(p1h, P1_CHANNEL, 3);
  update_plots();
  QueueFileSelection(path("sp3.csv"));
  session_dispatch(P1_EXPORT_CSV);
  EXPECT_TRUE(fs::exists(path("sp3.csv")));
  EXPECT_FALSE(fs::exists(path("sp3_fit.txt")));
}

TEST_F(AnalysisControls, FrameDataAndFullRange) {
  spectrum_add(dadc[2][0][1000]);
  spectrum_add(dadc[2][0][1100]);
  int first = -1, last = -1;
  for (int b = 0; b < kTdcBins; ++b)
    if (dtdc[2][0][b].load()) {
      if (first < 0) first = b;
      last = b;
    }
  session_dispatch(P1_ZOOM_DATA);
  int mode = -1;
  double lo = 0, hi = 0;
  x_range(P1_TDC_GRAPH, &mode, &lo, &hi);
  EXPECT_EQ(mode, VAL_MANUAL);
  const int margin = std::max(5, (last - first) / 10);
  EXPECT_EQ(lo, first - margin);
  EXPECT_EQ(hi, last + margin);
  x_range(P1_ADC_GRAPH, &mode, &lo, &hi);
  EXPECT_EQ(lo, 1000 - 10);
  EXPECT_EQ(hi, 1100 + 10);
  EXPECT_NE(text_of(P1_ADC_STATS).find("entries 2 "), std::string::npos);

  session_dispatch(P1_ZOOM_RESET);
  for (int g : {P1_TDC_GRAPH, P1_ADC_GRAPH}) {
    x_range(g, &mode, &lo, &hi);
    EXPECT_EQ(mode, VAL_AUTOSCALE);
  }
  EXPECT_NE(text_of(P1_TDC_STATS).find("0-65535: "), std::string::npos);
}

TEST_F(AnalysisControls, StoredRunBuildsTheMapAndACellClickLoadsThatPosition) {
  // Two positions; channel 2 has TDC 300 at (0,0) and 301 at (1,0).
  RunFileWriter w;
  ASSERT_TRUE(w.open(path("run"), 0));
  RUNREC r;
  r.nx = 2, r.ny = 1, r.dx = 25, r.x0 = 100, r.nev = 1;
  ASSERT_TRUE(w.write(r));
  for (int ix = 0; ix < 2; ++ix) {
    POSREC p;
    p.ix = ix, p.xset = 100 + 25 * ix;
    ASSERT_TRUE(w.write(p));
    EVTREC e;
    e.nev = 1;
    e.data[2] = static_cast<std::uint16_t>(300 + ix);
    ASSERT_TRUE(w.write(e));
  }
  ASSERT_TRUE(w.close(1));

  QueueFileSelection(w.files().front());
  session_dispatch(P1_LOAD_SPECTRA);
  EXPECT_EQ(dtdc[2][0][300].load() + dtdc[2][0][301].load(), 2);
  EXPECT_TRUE(shown_map_source().stored);
  const auto means = shown_scan_map().values(2, MapQuantity::MeanTdc);
  ASSERT_EQ(means.size(), 2u);
  EXPECT_EQ(means[0], 300);
  EXPECT_EQ(means[1], 301);

  ConsoleCapture con;
  SetCtrlVal(p1h, P1_LOAD_IX, 1);  // what a click on the cell sets
  session_dispatch(P1_MAP);
  EXPECT_NE(con.text().find("Map cell ix=1 iy=0 (x 125, y 0): 1 event(s) saved; ch 2 mean TDC 301.0"),
            std::string::npos)
      << con.text();
  EXPECT_EQ(dtdc[2][0][300].load(), 0);
  EXPECT_EQ(dtdc[2][0][301].load(), 1);
  int all = 1;
  GetCtrlVal(p1h, P1_LOAD_ALL, &all);
  EXPECT_EQ(all, 0);
  EXPECT_NE(text_of(P1_LOAD_STATUS).find("position ix=1 iy=0"), std::string::npos);

  // The map shown goes out as CSV.
  SetCtrlVal(p1h, P1_MAP_QUANTITY, 1);
  QueueFileSelection(path("map.csv"));
  session_dispatch(P1_MAP_EXPORT_CSV);
  EXPECT_EQ(mdq::test::read_text(path("map.csv")),
            "ix,iy,xset,yset,channel,quantity,value\n"
            "0,0,100,0,2,mean_tdc,300\n"
            "1,0,125,0,2,mean_tdc,301\n");

  // A click outside the visited cells changes nothing.
  SetCtrlVal(p1h, P1_LOAD_IX, 5);
  con.clear();
  session_dispatch(P1_MAP);
  EXPECT_NE(con.text().find("no data"), std::string::npos);
  EXPECT_EQ(dtdc[2][0][301].load(), 1);
}

}  // namespace
