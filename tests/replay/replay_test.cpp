// A stored run back in the spectra, the spectra out as CSV, and the
// per-position summary of mdq-dump.
#include <gtest/gtest.h>

#include "temp_dir.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <tuple>
#include <fstream>
#include <sstream>
#include <unistd.h>
#include <vector>

#include "backend.h"
#include "decode.h"
#include "dump.h"
#include "replay.h"
#include "runfile.h"
#include "live_histograms.h"
#include "run_state.h"

namespace fs = std::filesystem;
using mdq::platform::ConsoleCapture;

namespace {

struct TempDir : mdq::test::TempDir {
  TempDir() : mdq::test::TempDir("replay") {}
};

// One file of records, byte by byte as the writer lays them out.
struct FileBytes {
  std::vector<std::uint8_t> b;
  template <class R>
  FileBytes& add(const R& r) {
    auto e = encode(r);
    b.insert(b.end(), e.begin(), e.end());
    return *this;
  }
  FileBytes& pos(int ix, int iy) {
    POSREC p;
    p.ix = ix, p.iy = iy, p.xset = 10 * ix, p.yset = 10 * iy;
    return add(p);
  }
  // Event nev with TDC values and gain-0 ADC values for some channels.
  FileBytes& evt(std::uint32_t nev, std::initializer_list<std::pair<int, int>> tdc,
                 std::initializer_list<std::pair<int, int>> adc = {}) {
    EVTREC e;
    e.nev = nev;
    for (auto [ch, v] : tdc) e.data[static_cast<std::size_t>(ch)] = static_cast<std::uint16_t>(v);
    for (auto [ch, v] : adc) e.data[static_cast<std::size_t>(32 + ch)] = static_cast<std::uint16_t>(v);
    return add(e);
  }
  FileBytes& end() { return add(ENDREC{}); }
  std::string save(const std::string& path, std::size_t keep = SIZE_MAX) const {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()),
               static_cast<std::streamsize>(std::min(keep, b.size())));
    return path;
  }
};

RUNREC header(int nx, int ny, std::uint32_t nev) {
  RUNREC r;
  r.nx = nx, r.ny = ny, r.nev = nev;
  return r;
}

// Every non-zero bin of the spectra, as (kind, ch, range, bin) -> count.
std::map<std::tuple<char, int, int, int>, int> nonzero_bins() {
  std::map<std::tuple<char, int, int, int>, int> m;
  for (int ch = 0; ch < kChannels; ++ch)
    for (int r = 0; r < 2; ++r) {
      for (int b = 0; b < kTdcBins; ++b)
        if (int v = dtdc[ch][r][b].load()) m[{'t', ch, r, b}] = v;
      for (int b = 0; b < kAdcBins; ++b)
        if (int v = dadc[ch][r][b].load()) m[{'a', ch, r, b}] = v;
    }
  return m;
}

class Replay : public ::testing::Test {
 protected:
  void SetUp() override {
    mdq::platform::reset_for_tests();
    run_state().reset();
    spectra_clear();
  }
  void TearDown() override { run_state().reset(); }
  TempDir d;
};

}  // namespace

TEST_F(Replay, SeriesIsFoundFromAnyOfItsFiles) {
  for (int k : {1, 2, 3}) FileBytes{}.end().save(d / ("s_file0" + std::to_string(k) + ".dat"));
  FileBytes{}.end().save(d / "s_file05.dat");  // after a gap: another series' leftovers
  const std::vector<std::string> series = {d / "s_file01.dat", d / "s_file02.dat", d / "s_file03.dat"};
  EXPECT_EQ(replay_series_files(d / "s_file01.dat"), series);
  EXPECT_EQ(replay_series_files(d / "s_file03.dat"), series);
  FileBytes{}.end().save(d / "odd.dat");
  EXPECT_EQ(replay_series_files(d / "odd.dat"), std::vector<std::string>{d / "odd.dat"});
  EXPECT_TRUE(replay_series_files(d / "gone_file01.dat").empty());
  // A lost first file: the rest still loads.
  FileBytes{}.end().save(d / "t_file02.dat");
  EXPECT_EQ(replay_series_files(d / "t_file02.dat"), std::vector<std::string>{d / "t_file02.dat"});
}

// The decisive property: for events the record can represent whole, replay
// fills exactly the bins the live decoding filled.
TEST_F(Replay, FillsTheBinsTheLiveDecodingFilled) {
  RunFileWriter w;
  ASSERT_TRUE(w.open(d / "live", 0));
  ASSERT_TRUE(w.write(header(2, 1, 40)));
  std::uint32_t seed = 12345;
  auto rnd = [&](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  for (int ix = 0; ix < 2; ++ix) {
    POSREC p;
    p.ix = ix;
    ASSERT_TRUE(w.write(p));
    for (std::uint32_t nev = 1; nev <= 40; ++nev) {
      EventTable ev;
      ev.clear();
      TdcDebug quiet;
      tdc_decode_word(0x40000000u, ev, quiet);  // global header
      for (std::uint32_t raw = 1; raw < 32; ++raw) {
        if (rnd(3) == 0) continue;  // no hit on this channel
        tdc_decode_word((raw << 21) | (1 + rnd(60000)), ev, quiet);
      }
      tdc_decode_word(0x80000000u, ev, quiet);
      std::uint32_t words[64];
      int n = 0;
      for (std::uint32_t ch = 0; ch < 32; ++ch) {
        words[n++] = 0x81000000u | ch << 16 | (1 + rnd(4095));  // gain 0
        if (ch % 2) words[n++] = 0x60000000u | ch << 16 | (1 + rnd(4095));  // gain 1
      }
      esrc_classify(words, n, ev);
      EVTREC rec;
      rec.nev = nev;
      pack_evtrec(ev, rec);
      ASSERT_TRUE(w.write(rec));
    }
  }
  ASSERT_TRUE(w.close(1));

  auto live = nonzero_bins();
  ASSERT_GT(live.size(), 1000u);
  // Gain-1 spectra are not in the file: the replay's view lacks them.
  for (auto it = live.begin(); it != live.end();)
    it = std::get<0>(it->first) == 'a' && std::get<2>(it->first) == 1 ? live.erase(it) : std::next(it);

  spectra_clear();
  spectrum_add(dadc[7][1][99]);  // left over from before: the load replaces it
  ReplayResult res;
  ASSERT_EQ(replay_load(replay_series_files(d / "live_file01.dat"), {}, &res), 0);
  EXPECT_EQ(nonzero_bins(), live);
  EXPECT_EQ(res.eventsLoaded, 80u);
  EXPECT_EQ(res.positionsLoaded, 2);
  EXPECT_EQ(res.filesIncomplete + res.filesCorrupt, 0);
}

TEST_F(Replay, LoadsAllPositionsOrTheOneChosenAcrossFiles) {
  // Position (1,0) continues into the second file, as a roll-over makes it.
  FileBytes{}
      .add(header(2, 2, 5))
      .pos(0, 0).evt(1, {{3, 100}}, {{3, 200}})
      .pos(1, 0).evt(1, {{3, 101}}, {{3, 201}})
      .end().save(d / "p_file01.dat");
  FileBytes{}
      .evt(2, {{3, 102}, {31, 65535}}, {{3, 202}})
      .pos(0, 1).evt(4, {{3, 103}})
      .end().save(d / "p_file02.dat");
  const auto files = replay_series_files(d / "p_file01.dat");
  ASSERT_EQ(files.size(), 2u);

  ConsoleCapture cap;
  ReplayResult res;
  ASSERT_EQ(replay_load(files, {false, 1, 0}, &res), 0);
  using K = std::tuple<char, int, int, int>;
  EXPECT_EQ(nonzero_bins(), (std::map<K, int>{{{'t', 3, 0, 101}, 1}, {{'t', 3, 0, 102}, 1},
                                              {{'t', 31, 0, 65535}, 1},
                                              {{'a', 3, 0, 201}, 1}, {{'a', 3, 0, 202}, 1}}));
  EXPECT_EQ(res.positionsSeen, 3);
  EXPECT_EQ(res.positionsLoaded, 1);
  EXPECT_EQ(res.eventsSeen, 4u);
  EXPECT_EQ(res.eventsLoaded, 2u);
  EXPECT_NE(cap.text().find("(position ix=1 iy=0): 2 file(s), 1 of 3 position(s), 2 of 4 event(s)"),
            std::string::npos)
      << cap.text();
  EXPECT_NE(res.summary.find("p_file01.dat +1 file(s): position ix=1 iy=0, 2 event(s)"),
            std::string::npos)
      << res.summary;

  ASSERT_EQ(replay_load(files, {}, &res), 0);
  EXPECT_EQ(res.eventsLoaded, 4u);
  for (int b : {100, 101, 102, 103}) EXPECT_EQ(dtdc[3][0][b].load(), 1) << b;

  cap.clear();
  ASSERT_EQ(replay_load(files, {false, 5, 5}, &res), 0);
  EXPECT_TRUE(nonzero_bins().empty());
  EXPECT_NE(cap.text().find("Position ix=5 iy=5 is not in the series (3 position(s) in it)"),
            std::string::npos);
}

TEST_F(Replay, ZeroMeansNothingStoredAndWildAdcValuesAreNotFilled) {
  FileBytes{}
      .add(header(1, 1, 2)).pos(0, 0)
      .evt(1, {{0, 0}, {1, 5}}, {{0, 0}, {1, 4095}, {2, 4096}, {3, 65535}})
      .end().save(d / "z_file01.dat");
  ConsoleCapture cap;
  ReplayResult res;
  ASSERT_EQ(replay_load({d / "z_file01.dat"}, {}, &res), 0);
  using K = std::tuple<char, int, int, int>;
  EXPECT_EQ(nonzero_bins(), (std::map<K, int>{{{'t', 1, 0, 5}, 1}, {{'a', 1, 0, 4095}, 1}}));
  EXPECT_EQ(res.adcOutOfRange, 2u);
  EXPECT_NE(cap.text().find("2 stored ADC value(s) above 4095 not filled"), std::string::npos);
}

TEST_F(Replay, DamagedFilesLoadUpToTheFaultAndSayWhere) {
  FileBytes f1;
  f1.add(header(1, 1, 10)).pos(0, 0).evt(1, {{2, 10}}).evt(2, {{2, 11}}).evt(3, {{2, 12}});
  // Cut inside the third event record: 56 + 36 + 2*140 + 60 bytes.
  f1.save(d / "c_file01.dat", kRunRecSize + kPosRecSize + 2 * kEvtRecSize + 60);
  FileBytes f2;
  f2.evt(4, {{2, 13}});
  f2.b.insert(f2.b.end(), {9, 0, 0, 0, 12, 0, 0, 0});  // an unknown record type
  f2.evt(5, {{2, 14}}).end();
  f2.save(d / "c_file02.dat");
  FileBytes{}.evt(6, {{2, 15}}).save(d / "c_file03.dat");  // no end record

  ConsoleCapture cap;
  ReplayResult res;
  ASSERT_EQ(replay_load(replay_series_files(d / "c_file01.dat"), {}, &res), 0);
  for (int b : {10, 11, 13, 15}) EXPECT_EQ(dtdc[2][0][b].load(), 1) << b;
  for (int b : {12, 14}) EXPECT_EQ(dtdc[2][0][b].load(), 0) << b;
  EXPECT_EQ(res.eventsLoaded, 4u);
  EXPECT_EQ(res.filesCorrupt, 1);
  EXPECT_EQ(res.filesIncomplete, 2);
  const std::string out = cap.text();
  EXPECT_NE(out.find(d / "c_file01.dat" + ": unreadable from byte offset 372 (truncated record type 4 (60 of 140 bytes))"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(d / "c_file02.dat" + ": unreadable from byte offset 140 (unknown record type 9)"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(d / "c_file03.dat" + ": no end record -- the file was cut short after 140 bytes"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("2 file(s) cut short, 1 file(s) damaged"), std::string::npos) << out;
}

TEST_F(Replay, RefusedDuringARunOrWithoutAFileAndTheSpectraStay) {
  FileBytes{}.add(header(1, 1, 1)).pos(0, 0).evt(1, {{4, 40}}).end().save(d / "r_file01.dat");
  spectrum_add(dtdc[9][0][900]);
  spectrum_add(dadc[9][1][90]);
  const auto before = nonzero_bins();
  ConsoleCapture cap;
  (void)run_state().request_start();
  EXPECT_EQ(replay_load({d / "r_file01.dat"}, {}), -1);
  EXPECT_EQ(nonzero_bins(), before);
  EXPECT_NE(cap.text().find("A run is active: a stored run can be loaded once it has ended. Spectra unchanged."),
            std::string::npos);
  run_state().reset();
  EXPECT_EQ(replay_load({d / "none_file01.dat"}, {}), -1);
  EXPECT_EQ(replay_load({}, {}), -1);
  EXPECT_EQ(nonzero_bins(), before);
  EXPECT_NE(cap.text().find("cannot open " + d / "none_file01.dat"), std::string::npos);
}

TEST_F(Replay, CsvHoldsEveryBinOfTheSpectraShown) {
  spectrum_add(dtdc[5][0][0]);
  for (int i = 0; i < 3; ++i) spectrum_add(dtdc[5][0][65535]);
  spectrum_add(dtdc[5][1][7]);  // the other TDC range: not shown
  spectrum_add(dtdc[6][0][7]);  // another channel: not shown
  for (int i = 0; i < 2; ++i) spectrum_add(dadc[5][1][4095]);
  spectrum_add(dadc[5][0][11]);  // the other gain: not shown
  const std::string path = d / "out.csv";
  ConsoleCapture cap;
  ASSERT_EQ(replay_export_csv(path, 5, 0, 1), 0);
  EXPECT_NE(cap.text().find("Spectra of channel 5 (TDC range 0, ADC gain 1) exported to " + path),
            std::string::npos);
  EXPECT_FALSE(fs::exists(path + ".part"));

  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "spectrum,channel,range,bin,count");
  std::map<std::string, long> total;
  std::vector<std::string> nonzero;
  int rows = 0, expectBin = 0;
  std::string prevKind = "tdc";
  while (std::getline(in, line)) {
    ++rows;
    std::stringstream ss(line);
    std::string kind, ch, rg, bin, count;
    std::getline(ss, kind, ',');
    std::getline(ss, ch, ',');
    std::getline(ss, rg, ',');
    std::getline(ss, bin, ',');
    std::getline(ss, count, ',');
    if (kind != prevKind) expectBin = 0, prevKind = kind;
    ASSERT_EQ(std::stoi(bin), expectBin++) << line;  // every bin, in order
    ASSERT_EQ(ch, "5");
    ASSERT_EQ(rg, kind == "tdc" ? "0" : "1");
    total[kind] += std::stol(count);
    if (count != "0") nonzero.push_back(line);
  }
  EXPECT_EQ(rows, kTdcBins + kAdcBins);
  EXPECT_EQ(total["tdc"], 4);
  EXPECT_EQ(total["adc"], 2);
  EXPECT_EQ(nonzero, (std::vector<std::string>{"tdc,5,0,0,1", "tdc,5,0,65535,3", "adc,5,1,4095,2"}));

  // A folder that does not exist, a channel not on the panel: refused, nothing written.
  EXPECT_EQ(replay_export_csv(d / "no/such/dir/x.csv", 5, 0, 0), -1);
  EXPECT_EQ(replay_export_csv(d / "bad.csv", 32, 0, 0), -1);
  EXPECT_FALSE(fs::exists(d / "bad.csv"));
  EXPECT_NE(cap.text().find("Spectra not exported: cannot create"), std::string::npos);
}

namespace {
std::string dump_csv(const std::vector<std::string>& files, std::FILE* summary = nullptr) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* mem = open_memstream(&buf, &len);
  dump_run_files(files, true, mem, summary);
  std::fclose(mem);
  std::string out(buf, len);
  free(buf);
  return out;
}
std::string after_blank_line(const std::string& s) {
  auto k = s.find("\n\n");
  return k == std::string::npos ? std::string() : s.substr(k + 2);
}
}  // namespace

TEST(DumpSummary, SavedAndSkippedPerPosition) {
  TempDir d;
  // 2 x 1 grid, 5 events per position: position 0 saved 1, 2, 4 (3 and
  // the last, 5, not saved); position 1 all five, the last in file 2.
  FileBytes{}
      .add(header(2, 1, 5))
      .pos(0, 0).evt(1, {}).evt(2, {}).evt(4, {})
      .pos(1, 0).evt(1, {}).evt(2, {}).evt(3, {}).evt(4, {})
      .end().save(d / "s_file01.dat");
  FileBytes{}.evt(5, {}).end().save(d / "s_file02.dat");
  const std::vector<std::string> files = {d / "s_file01.dat", d / "s_file02.dat"};
  const std::string out = dump_csv(files);
  // The event table first, untouched: header plus eight rows.
  const std::string events = out.substr(0, out.find("\n\n") + 1);
  EXPECT_EQ(std::count(events.begin(), events.end(), '\n'), 9);
  EXPECT_EQ(after_blank_line(out),
            "position,file,ix,iy,xset,yset,saved,skipped,first_nev,last_nev\n"
            "0," + d / "s_file01.dat" + ",0,0,0,0,3,2,1,4\n"
            "1," + d / "s_file01.dat" + ",1,0,10,0,5,0,1,5\n");

  // Or to a file of its own, leaving the event table alone.
  const std::string sf = d / "summary.csv";
  std::FILE* s = std::fopen(sf.c_str(), "w");
  const std::string only = dump_csv(files, s);
  std::fclose(s);
  EXPECT_EQ(only, events);
  std::ifstream in(sf);
  std::string first;
  std::getline(in, first);
  EXPECT_EQ(first, "position,file,ix,iy,xset,yset,saved,skipped,first_nev,last_nev");
}

TEST(DumpSummary, UnfinishedAndHeaderlessPositionsCountOnlyWhatIsKnown) {
  TempDir d;
  // A 3 x 1 grid stopped during its second position: the untaken tail of
  // that position is unknown, so its range ends at the last saved number.
  FileBytes{}
      .add(header(3, 1, 100))
      .pos(0, 0).evt(1, {}).evt(100, {})
      .pos(1, 0).evt(1, {}).evt(3, {}).evt(7, {})
      .end().save(d / "stop_file01.dat");
  auto rows = summarize_positions({d / "stop_file01.dat"});
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].skipped, 98u);
  EXPECT_EQ(rows[1].rangeEnd, 7u);
  EXPECT_EQ(rows[1].skipped, 4u);

  // Events per position 0: a run still takes one.
  FileBytes{}.add(header(1, 2, 0)).pos(0, 0).pos(0, 1).evt(1, {}).end().save(d / "z_file01.dat");
  rows = summarize_positions({d / "z_file01.dat"});
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].saved, 0u);
  EXPECT_EQ(rows[0].skipped, 1u);
  EXPECT_EQ(rows[1].skipped, 0u);

  // The first file lost: events before any position record get a row of
  // their own, and with no header nothing beyond the saved numbers is known.
  FileBytes{}.evt(3, {}).evt(5, {}).pos(4, 0).evt(2, {}).end().save(d / "h_file02.dat");
  const std::string out = dump_csv({d / "h_file02.dat"});
  EXPECT_EQ(after_blank_line(out),
            "position,file,ix,iy,xset,yset,saved,skipped,first_nev,last_nev\n"
            "none,,,,,,2,3,3,5\n"
            "0," + d / "h_file02.dat" + ",4,0,40,0,1,1,2,2\n");
}
