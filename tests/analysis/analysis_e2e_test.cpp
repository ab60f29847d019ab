// The running station on the simulated stand: zoom that survives refreshes
// and channel changes, fits of the visible range, and the scan map as the
// run filled it against the run file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "runfile.h"
#include "station.h"

namespace fs = std::filesystem;

namespace {

bool is_png(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  char sig[8] = {};
  in.read(sig, 8);
  return std::string(sig + 1, 3) == "PNG";
}

// The line that starts with `prefix`, or "".
std::string line_of(const std::string& out, const std::string& prefix) {
  std::istringstream in(out);
  for (std::string l; std::getline(in, l);)
    if (l.rfind(prefix, 0) == 0) return l;
  return {};
}

// One row of an exported map: ix,iy,xset,yset,channel,quantity,value.
struct MapCsvRow {
  int ix = 0, iy = 0, xset = 0, yset = 0, channel = 0;
  std::string quantity;
  double value = 0;
};

bool parse_map_csv_row(const std::string& line, MapCsvRow& row) {
  char q[32] = {};
  if (std::sscanf(line.c_str(), "%d,%d,%d,%d,%d,%31[^,],%lf", &row.ix, &row.iy, &row.xset,
                  &row.yset, &row.channel, q, &row.value) != 7)
    return false;
  row.quantity = q;
  return true;
}

}  // namespace

TEST(SpectraAndMap, ZoomFitAndTheLiveMapOfADemoScan) {
  TempDir d;
  const std::string base = d / "scan";
  const std::string script =
      "press P1_ER_CONNECT\n"
      "set P1_NX 3\nset P1_NY 2\nset P1_DX 10\nset P1_DY 5\nset P1_NEV 200\n"
      "set P1_SAVE 1\nset P1_FILE " + base + "\n"
      "set P1_RUN 1\n"
      "wait-run 90\n"
      "set P1_CHANNEL 0\n"
      "press P1_REFRESH\n"
      "zoom P1_TDC_GRAPH 7800 8300\n"
      "wait 1.2\n"  // auto-refresh ticks redraw the spectra
      "set P1_CHANNEL 5\npress P1_REFRESH\nset P1_CHANNEL 0\npress P1_REFRESH\n"
      "press P1_TDC_FIT\n"
      "press P1_ADC_FIT\n"
      "set P1_MAP_QUANTITY 1\n"
      "screenshot " + d / "fit.png" + "\n"
      "file " + d / "map.csv" + "\npress P1_MAP_EXPORT_CSV\n"
      "file " + d / "map.png" + "\npress P1_MAP_EXPORT_PNG\n"
      "set P1_MAP_QUANTITY 4\n"
      "file " + d / "peak.csv" + "\npress P1_MAP_EXPORT_CSV\n"
      "screenshot " + d / "peak_map.png" + "\n"
      "press P1_ZOOM_RESET\n"
      "press P1_TDC_FIT\n"
      "file " + base + "_file01.dat\npress P1_LOAD_SPECTRA\n"
      "set P1_LOAD_IX 2\nset P1_LOAD_IY 1\npress P1_MAP\n"
      "quit\n";
  StationResult res = run_station(script, "--sim-rate 3000", 180);
  ASSERT_EQ(res.exitCode, 0) << res.output;

  // Zoomed, refreshed, channel changed and back: the fit still sees 7800-8300.
  const std::string zoomed = line_of(res.output, "Fit TDC ch 0 bins 7800-8300: mean ");
  ASSERT_FALSE(zoomed.empty()) << res.output;
  double mean = 0, err = 0, sigma = 0, serr = 0;
  ASSERT_EQ(std::sscanf(zoomed.c_str(), "Fit TDC ch 0 bins 7800-8300: mean %lf +- %lf sigma %lf +- %lf",
                        &mean, &err, &sigma, &serr),
            4)
      << zoomed;
  // The stand's peak of histogram channel 0 (TDC channel 1): 8040, sigma 40.
  EXPECT_NEAR(mean, 8040, 3 * err + 1) << zoomed;
  EXPECT_NEAR(sigma, 40, 3 * serr + 1) << zoomed;
  EXPECT_NE(zoomed.find("chi2/ndf "), std::string::npos);
  EXPECT_FALSE(line_of(res.output, "Fit ADC ch 0 bins 0-4095: ").empty()) << res.output;
  EXPECT_FALSE(line_of(res.output, "Fit TDC ch 0 bins 0-65535: ").empty()) << "after the reset";

  // The map the run filled, exported, against the file: mean TDC of channel 0 per position.
  RunFileScan s = scan_run_file(base + "_file01.dat");
  ASSERT_TRUE(s.error.empty() && s.complete) << s.error;
  std::map<std::pair<int, int>, std::pair<double, int>> fromFile;  // (ix,iy) -> (sum, n)
  int ix = -1, iy = -1;
  for (const auto& r : s.records) {
    if (r.id == POSREC_ID) ix = r.pos.ix, iy = r.pos.iy;
    if (r.id == EVTREC_ID && r.evt.data[0]) {
      fromFile[{ix, iy}].first += r.evt.data[0];
      ++fromFile[{ix, iy}].second;
    }
  }
  ASSERT_EQ(fromFile.size(), 6u);
  std::ifstream in(d / "map.csv");
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "ix,iy,xset,yset,channel,quantity,value");
  int rows = 0;
  MapCsvRow row;
  while (std::getline(in, line)) {
    ASSERT_TRUE(parse_map_csv_row(line, row)) << line;
    ++rows;
    EXPECT_EQ(row.xset, 10 * row.ix);
    EXPECT_EQ(row.yset, 5 * row.iy);
    EXPECT_EQ(row.channel, 0);
    EXPECT_EQ(row.quantity, "mean_tdc");
    const auto& [sum, n] = fromFile[{row.ix, row.iy}];
    EXPECT_NEAR(row.value, sum / n, 1e-6 * row.value) << line;
  }
  EXPECT_EQ(rows, 6);

  // The fitted peak of each position, as exported: the stand's 8040.
  std::ifstream pin(d / "peak.csv");
  std::getline(pin, line);
  rows = 0;
  while (std::getline(pin, line)) {
    ASSERT_TRUE(parse_map_csv_row(line, row)) << line;
    ++rows;
    EXPECT_EQ(row.quantity, "peak_tdc");
    EXPECT_NEAR(row.value, 8040, 15) << line;
  }
  EXPECT_EQ(rows, 6);

  // A click on a cell of the stored run loads that position.
  EXPECT_NE(res.output.find("Map cell ix=2 iy=1 (x 20, y 5): "), std::string::npos) << res.output;
  EXPECT_NE(res.output.find("loaded into the spectra (position ix=2 iy=1)"), std::string::npos);
  // ... and names the peaks the stored run's fits found there.
  const std::string peaks = line_of(res.output, "Map cell ix=2 iy=1: ch 0 fitted peak TDC ");
  double tdcPeak = 0, adcPeak = 0;
  ASSERT_EQ(std::sscanf(peaks.c_str(), "Map cell ix=2 iy=1: ch 0 fitted peak TDC %lf, ADC gain 0 %lf",
                        &tdcPeak, &adcPeak),
            2)
      << res.output;
  EXPECT_NEAR(tdcPeak, 8040, 15);
  EXPECT_NEAR(adcPeak, 100, 3) << "channel 0's gain-0 pedestal";
  EXPECT_NE(peaks.find("gain 1 none"), std::string::npos) << "no gain 1 in a file: " << peaks;

  EXPECT_TRUE(is_png(d / "fit.png"));
  EXPECT_TRUE(is_png(d / "map.png"));
  EXPECT_TRUE(is_png(d / "peak_map.png"));
}
