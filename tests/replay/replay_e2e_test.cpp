// A run taken on the simulated stand, cleared, loaded back through the
// panel and exported: the exported spectra hold what the run file holds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "runfile.h"
#include "station.h"

namespace fs = std::filesystem;

namespace {

using Counts = std::map<std::pair<std::string, int>, long>;  // (spectrum, bin) -> count

// The non-zero bins of an exported CSV, for one channel.
Counts read_csv(const std::string& path, int ch, int* rows) {
  Counts c;
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "spectrum,channel,range,bin,count");
  *rows = 0;
  while (std::getline(in, line)) {
    ++*rows;
    std::stringstream ss(line);
    std::string kind, f;
    std::getline(ss, kind, ',');
    std::getline(ss, f, ',');
    EXPECT_EQ(std::stoi(f), ch) << line;
    std::getline(ss, f, ',');  // range
    EXPECT_EQ(f, "0") << line;
    std::getline(ss, f, ',');
    int bin = std::stoi(f);
    std::getline(ss, f, ',');
    if (long n = std::stol(f)) c[{kind, bin}] = n;
  }
  return c;
}

// What the file holds for channel ch (optionally one y index only).
Counts from_run_file(const RunFileScan& s, int ch, int onlyIy, long* events) {
  Counts c;
  *events = 0;
  int iy = -1;
  for (const auto& r : s.records) {
    if (r.id == POSREC_ID) iy = r.pos.iy;
    if (r.id != EVTREC_ID || (onlyIy >= 0 && iy != onlyIy)) continue;
    ++*events;
    if (int t = r.evt.data[static_cast<std::size_t>(ch)]) ++c[{"tdc", t}];
    if (int a = r.evt.data[static_cast<std::size_t>(32 + ch)]) ++c[{"adc", a}];
  }
  return c;
}

bool is_png(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  char sig[8] = {};
  in.read(sig, 8);
  return std::string(sig + 1, 3) == "PNG";
}

}  // namespace

TEST(StoredRun, LoadedThroughThePanelAndExported) {
  TempDir d;
  const std::string base = d / "r";
  const std::string script =
      "press P1_ER_CONNECT\n"
      "set P1_NX 1\nset P1_NY 2\nset P1_NEV 100\nset P1_SAVE 1\nset P1_FILE " + base + "\n"
      "set P1_RUN 1\n"
      "wait-run 60\n"
      "expect P1_RUN 0\n"
      "press P1_CLEAR\n"
      "set P1_CHANNEL 3\n"
      "file " + base + "_file01.dat\n"
      "press P1_LOAD_SPECTRA\n"
      "file " + d / "all.csv" + "\n"
      "press P1_EXPORT_CSV\n"
      "file " + d / "all.png" + "\n"
      "press P1_EXPORT_PNG\n"
      "set P1_LOAD_ALL 0\nset P1_LOAD_IX 0\nset P1_LOAD_IY 1\n"
      "file " + base + "_file01.dat\n"
      "press P1_LOAD_SPECTRA\n"
      "file " + d / "pos.csv" + "\n"
      "press P1_EXPORT_CSV\n"
      "quit\n";
  StationResult res = run_station(script, "--sim-rate 3000");
  ASSERT_EQ(res.exitCode, 0) << res.output;

  RunFileScan s = scan_run_file(base + "_file01.dat");
  ASSERT_TRUE(s.error.empty() && s.complete) << s.error;
  long allEvents = 0, posEvents = 0;
  const Counts all = from_run_file(s, 3, -1, &allEvents);
  const Counts pos = from_run_file(s, 3, 1, &posEvents);
  ASSERT_GT(allEvents, posEvents);
  ASSERT_GT(posEvents, 50);  // the stand delivers; a few triggers may be skipped
  long tdcAll = 0;
  for (const auto& [k, n] : all) tdcAll += k.first == "tdc" ? n : 0;
  ASSERT_GT(tdcAll, allEvents / 2);  // channel 3 sees hits: a comparison with substance

  const std::string loaded = "loaded into the spectra (all positions): 1 file(s), 2 of 2 position(s), " +
                             std::to_string(allEvents) + " of " + std::to_string(allEvents) + " event(s)";
  EXPECT_NE(res.output.find(loaded), std::string::npos) << res.output;
  EXPECT_NE(res.output.find("(position ix=0 iy=1): 1 file(s), 1 of 2 position(s), " +
                            std::to_string(posEvents) + " of "),
            std::string::npos)
      << res.output;

  int rows = 0;
  EXPECT_EQ(read_csv(d / "all.csv", 3, &rows), all);
  EXPECT_EQ(rows, 65536 + 4096);
  EXPECT_EQ(read_csv(d / "pos.csv", 3, &rows), pos);

  for (const char* g : {"all_tdc.png", "all_adc.png"}) {
    const std::string p = d / g;
    ASSERT_TRUE(fs::exists(p)) << p << "\n" << res.output;
    EXPECT_TRUE(is_png(p)) << p;
    EXPECT_GT(fs::file_size(p), 3000u) << p;  // a drawn chart, not an empty picture
  }
  EXPECT_NE(res.output.find("Graphs saved: " + d / "all_tdc.png" + ", " + d / "all_adc.png"),
            std::string::npos);
}
