// Per-position sums of a scan, their CSV, and the map built back from a run file.
#include <gtest/gtest.h>

#include "temp_dir.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <unistd.h>

#include "decode.h"
#include "run_map.h"
#include "runfile.h"
#include "scanmap.h"
#include "live_histograms.h"
#include "run_state.h"

namespace fs = std::filesystem;

namespace {

EventTable event_with(int ch, std::uint32_t tdc, std::uint32_t adc0, std::uint32_t adc1) {
  EventTable v;
  v.tdc[static_cast<std::size_t>(ch)] = tdc;
  v.adc[static_cast<std::size_t>(ch)] = {adc0, adc1};
  return v;
}

void feed(ScanMap& m, const EventTable& e, bool saved) { m.event(e.tdc, e.adc, saved); }

struct TempDir : mdq::test::TempDir {
  TempDir() : mdq::test::TempDir("map") {}
};

TEST(ScanMap, SumsPerCellAndChannelWithNothingWhereNothingWasSeen) {
  ScanMap m;
  ASSERT_TRUE(m.reset({2, 2, -5, 10, 100, 7}));
  m.position(1, 0, 5, 100);
  feed(m, event_with(3, 8000, 120, 40), true);
  feed(m, event_with(3, 8010, 130, 0), false);
  feed(m, event_with(3, 0, 0, 0), true);  // no hit, no ADC word
  m.position(0, 1, -5, 107);
  feed(m, event_with(3, 70000, 150, 60), true);  // TDC past 16 bits: not a value

  const ScanMap::Cell c = m.cell(1, 0);
  EXPECT_TRUE(c.visited);
  EXPECT_EQ(c.events, 3u);
  EXPECT_EQ(c.saved, 2u);
  EXPECT_EQ(c.tdc[3].n, 2u);
  EXPECT_DOUBLE_EQ(c.tdc[3].mean(), 8005);
  EXPECT_DOUBLE_EQ(c.tdc[3].rms(), 5);
  EXPECT_DOUBLE_EQ(c.adc0[3].mean(), 125);
  EXPECT_EQ(c.adc1[3].n, 1u);

  const auto saved = m.values(3, MapQuantity::EventsSaved);
  ASSERT_EQ(saved.size(), 4u);
  EXPECT_TRUE(std::isnan(saved[0]));  // (0,0) never visited
  EXPECT_EQ(saved[1], 2);             // (1,0)
  EXPECT_EQ(saved[2], 1);             // (0,1)
  EXPECT_TRUE(std::isnan(saved[3]));
  const auto tdc = m.values(3, MapQuantity::MeanTdc);
  EXPECT_DOUBLE_EQ(tdc[1], 8005);
  EXPECT_TRUE(std::isnan(tdc[2])) << "the only TDC value there overflowed";
  EXPECT_DOUBLE_EQ(m.values(3, MapQuantity::MeanAdc1)[2], 60);
  EXPECT_TRUE(std::isnan(m.values(4, MapQuantity::MeanAdc0)[1])) << "channel without data";

  // The spectrum's last bin is a value, one past it is not.
  m.position(1, 1, 5, 107);
  feed(m, event_with(4, 65535, 0, 0), true);
  feed(m, event_with(4, 65536, 0, 0), true);
  EXPECT_EQ(m.cell(1, 1).tdc[4].n, 1u);
  EXPECT_DOUBLE_EQ(m.cell(1, 1).tdc[4].mean(), 65535);
}

TEST(ScanMap, PositionsOutsideTheGridAndOversizedGridsAreDropped) {
  ScanMap m;
  ASSERT_TRUE(m.reset({2, 1, 0, 1, 0, 1}));
  m.position(2, 0, 0, 0);
  feed(m, event_with(0, 5, 5, 5), true);
  EXPECT_TRUE(m.empty());
  EXPECT_FALSE(m.reset({1000, 1000, 0, 1, 0, 1}));
  EXPECT_EQ(m.grid().cells(), 0);
  EXPECT_FALSE(m.reset({0, 5, 0, 1, 0, 1}));
  m.position(0, 0, 0, 0);
  feed(m, event_with(0, 5, 5, 5), true);
  EXPECT_TRUE(m.empty());
}

TEST(ScanMap, CsvHasOneRowPerVisitedCell) {
  TempDir d;
  ScanMap m;
  ASSERT_TRUE(m.reset({3, 1, 10, 5, -2, 0}));
  m.position(0, 0, 10, -2);
  feed(m, event_with(7, 100, 0, 0), true);
  feed(m, event_with(7, 103, 0, 0), true);
  m.position(2, 0, 20, -2);
  feed(m, event_with(7, 0, 0, 0), true);
  std::string why;
  ASSERT_EQ(m.export_csv(d / "m.csv", 7, MapQuantity::MeanTdc, &why), 0) << why;
  const std::string csv = mdq::test::read_text(d / "m.csv");
  EXPECT_EQ(csv,
            "ix,iy,xset,yset,channel,quantity,value\n"
            "0,0,10,-2,7,mean_tdc,101.5\n"
            "2,0,20,-2,7,mean_tdc,\n");
  EXPECT_EQ(m.export_csv(d / "missing/m.csv", 7, MapQuantity::MeanTdc, &why), -1);
  EXPECT_NE(why.find("missing"), std::string::npos);
  EXPECT_FALSE(fs::exists(d / "missing"));
  EXPECT_EQ(m.export_csv(d / "x.csv", 32, MapQuantity::MeanTdc, &why), -1);
}

TEST(ScanMap, MapOfTheRunAsItWentEqualsTheMapReadBackFromItsFiles) {
  // The run loop's path (event values, saved) and the file's path (event
  // records) of the same scan, through a file series that rolls over.
  TempDir d;
  run_state().reset();
  ScanMap live;
  RUNREC run;
  run.nx = 3, run.ny = 2, run.x0 = -10, run.dx = 5, run.y0 = 3, run.dy = 4, run.nev = 40;
  ASSERT_TRUE(live.reset({run.nx, run.ny, run.x0, run.dx, run.y0, run.dy}));
  RunFileWriter w;
  ASSERT_TRUE(w.open(d / "scan", 4000));
  ASSERT_TRUE(w.write(run));
  std::mt19937 rng(9);
  std::normal_distribution<double> t(8000, 40), a(300, 50);
  for (int iy = 0; iy < run.ny; ++iy)
    for (int ix = 0; ix < run.nx; ++ix) {
      POSREC p;
      p.ix = ix, p.iy = iy, p.xset = run.x0 + ix * run.dx, p.yset = run.y0 + iy * run.dy;
      ASSERT_TRUE(w.write(p));
      live.position(p.ix, p.iy, p.xset, p.yset);
      for (std::uint32_t n = 1; n <= run.nev; ++n) {
        EventTable ev;
        for (std::size_t ch = 0; ch < 32; ++ch) {
          if (rng() % 4 == 0) continue;  // some channels without a hit
          ev.tdc[ch] = static_cast<std::uint32_t>(t(rng)) + static_cast<std::uint32_t>(ix * 100);
          ev.adc[ch][0] = static_cast<std::uint32_t>(std::clamp(a(rng), 1.0, 4095.0));
          ev.adc[ch][1] = 17;  // gain 1 is not stored
        }
        live.event(ev.tdc, ev.adc, true);
        EVTREC e;
        e.nev = n;
        pack_evtrec(ev, e);
        ASSERT_TRUE(w.write(e));
        ASSERT_TRUE(w.rollover_if_needed(1));
      }
    }
  ASSERT_TRUE(w.close(2));
  ASSERT_GT(w.files().size(), 1u);

  ScanMap stored;
  ReplayResult res;
  ReplaySelection all;
  ASSERT_EQ(scan_map_from_run(replay_series_files(w.files().back()), all, stored, &res), 0);
  EXPECT_EQ(res.eventsLoaded, 240u);
  EXPECT_EQ(scan_map_difference(live, stored), "");
  EXPECT_NEAR(stored.values(0, MapQuantity::MeanTdc)[2], 8200, 20);
  EXPECT_EQ(stored.values(5, MapQuantity::EventsSaved)[4], 40);

  // One event less in one cell is seen.
  live.position(1, 1, -5, 7);
  feed(live, event_with(0, 8000, 0, 0), true);
  EXPECT_NE(scan_map_difference(live, stored), "");
}

TEST(ScanMap, StoredRunBuildsTheShownMapAndNamesItsFiles) {
  TempDir d;
  run_state().reset();
  RunFileWriter w;
  ASSERT_TRUE(w.open(d / "one", 0));
  RUNREC run;
  run.nx = 2, run.ny = 1, run.dx = 1;
  ASSERT_TRUE(w.write(run));
  POSREC p;
  p.ix = 1, p.xset = 1;
  ASSERT_TRUE(w.write(p));
  EVTREC e;
  e.data[4] = 1234;
  ASSERT_TRUE(w.write(e));
  ASSERT_TRUE(w.close(1));
  ReplaySelection sel;
  sel.all = false, sel.ix = 0, sel.iy = 0;  // the spectra get position (0,0) only
  ASSERT_EQ(load_stored_run(w.files(), sel, nullptr), 0);
  EXPECT_TRUE(shown_map_source().stored);
  EXPECT_EQ(shown_map_source().files, w.files());
  EXPECT_DOUBLE_EQ(shown_scan_map().values(4, MapQuantity::MeanTdc)[1], 1234);
  EXPECT_EQ(dtdc[4][0][1234].load(), 0) << "spectra hold only the position selected";
  // A run start makes it the live map again.
  scan_map_run_start(run);
  EXPECT_FALSE(shown_map_source().stored);
  EXPECT_TRUE(shown_scan_map().empty());
}

}  // namespace
