// The run record, its checks of a series and the run log, on files in a
// scratch folder.
#include <gtest/gtest.h>

#include "temp_dir.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "run_record.h"
#include "runfile.h"

namespace fs = std::filesystem;

namespace {

class Scratch : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mdq_record_XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string at(const std::string& name) const { return (dir_ / name).string(); }
  static std::string slurp(const std::string& p) { return mdq::test::read_text(p); }
  fs::path dir_;
};

RunRecord sample() {
  RunRecord r;
  r.base = "night7";
  r.comment = "bar 3, \"cold\"\tbox \xc3\xa9";  // comma, quotes, tab, UTF-8
  r.version = "abc1234-dirty";
  r.host = "daq1";
  r.startTime = 1796860000;
  r.ended = true;
  r.endTime = 1796863600;
  r.endedBy = "interlock: free disk space";
  r.header.nx = 3, r.header.x0 = -5, r.header.dx = 10, r.header.ny = 2, r.header.y0 = 7;
  r.header.dy = -3, r.header.nev = 2000, r.header.ped = 4, r.header.xy = 1;
  r.stepMinutes = 15;
  r.fileLimitBytes = 100'000'000;
  r.suppress = true, r.tdcMin = 120, r.frac = 0.25;
  r.tdcWindowWidth = 20, r.tdcWindowOffset = -20, r.tdcExtraMargin = 8, r.tdcEdge = 2;
  r.tdcReadbackTime = 1796858000;
  r.tdcReadback = {{"window_width", 20}, {"window_offset", 65516}, {"edge", std::nullopt}};
  RunRecordBoardConfig b;
  b.path = "EASIROCini/EASIROC.ini";
  for (std::uint32_t i = 0; i < 34; ++i) b.values.push_back(0xFFFFFFF0u + i % 16);
  b.sha256 = std::string(64, 'a');
  r.board = b;
  RunRecordBias bias;
  bias.setVolts = 52.5, bias.dac = 26000, bias.setTime = 1796859000;
  bias.readVolts = 52.49, bias.readTime = 1796859100;  // the current read failed
  r.bias = bias;
  r.files = {{"night7_file01.dat", 100000123, std::string(64, 'b')},
             {"night7_file02.dat", 42, std::string(64, 'c')}};
  r.positions = {{0, 0, -5, 7, 1796860001, 2000, 3, 10, 1},
                 {1, 0, 5, 7, 1796860100, 1500, 0, 0, 0}};
  return r;
}

}  // namespace

using RunRecordFile_ = Scratch;

TEST_F(RunRecordFile_, RoundTripKeepsEveryField) {
  const RunRecord r = sample();
  std::string why;
  ASSERT_TRUE(run_record_write(r, at("night7_run.json"), &why)) << why;
  EXPECT_FALSE(fs::exists(at("night7_run.json.tmp")));
  const auto back = run_record_read(at("night7_run.json"), &why);
  ASSERT_TRUE(back) << why;
  EXPECT_EQ(run_record_json(*back), run_record_json(r));
  EXPECT_EQ(back->comment, r.comment);
  EXPECT_EQ(back->endedBy, "interlock: free disk space");
  ASSERT_TRUE(back->board);
  EXPECT_EQ(back->board->values, r.board->values);
  ASSERT_TRUE(back->bias);
  EXPECT_EQ(back->bias->readVolts, 52.49);
  EXPECT_FALSE(back->bias->readMicroamps);
  EXPECT_EQ(back->files[0].size, 100000123u);
  EXPECT_EQ(back->positions[0].mispaired, 1u);
  EXPECT_EQ(back->tdcReadback, r.tdcReadback);  // order and the unanswered value kept
  EXPECT_EQ(back->saved(), 3500u);
  EXPECT_EQ(back->dropped(), 10u);

  // What an analysis sees without this code: plain JSON with the totals.
  const auto j = nlohmann::json::parse(slurp(at("night7_run.json")));
  EXPECT_EQ(j["totals"]["saved"], 3500);
  EXPECT_EQ(j["totals"]["positions"], 2);
  EXPECT_EQ(j["end"]["ended_by"], "interlock: free disk space");
  EXPECT_EQ(j["board_config"]["values"].size(), 34u);
}

TEST_F(RunRecordFile_, RecordOfARunStillGoingSaysItHasNotEnded) {
  RunRecord r = sample();
  r.ended = false;
  r.files = {{"night7_file01.dat", 0, {}}};
  std::string why;
  ASSERT_TRUE(run_record_write(r, at("r.json"), &why)) << why;
  const auto j = nlohmann::json::parse(slurp(at("r.json")));
  EXPECT_EQ(j["ended"], false);
  EXPECT_FALSE(j.contains("end"));
  EXPECT_FALSE(j["files"][0].contains("sha256"));
  const auto back = run_record_read(at("r.json"), &why);
  ASSERT_TRUE(back) << why;
  EXPECT_FALSE(back->ended);
  // Nothing to verify against, and verify says so rather than passing.
  const auto bad = run_record_verify(*back, dir_.string());
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_NE(bad[0].find("no end"), std::string::npos) << bad[0];
}

TEST_F(RunRecordFile_, ReplacingARecordIsAtomicAndFailuresLeaveNothingBehind) {
  RunRecord r = sample();
  std::string why;
  ASSERT_TRUE(run_record_write(r, at("x_run.json"), &why)) << why;
  r.comment = "second";
  ASSERT_TRUE(run_record_write(r, at("x_run.json"), &why)) << why;
  EXPECT_EQ(run_record_read(at("x_run.json"), &why)->comment, "second");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);

  EXPECT_FALSE(run_record_write(r, at("missing/x_run.json"), &why));
  EXPECT_NE(why.find("missing/x_run.json.tmp"), std::string::npos) << why;

  // A record that is not one is refused with a reason.
  std::ofstream(at("bad_run.json")) << "{\"base\": \"x\"}";
  EXPECT_FALSE(run_record_read(at("bad_run.json"), &why));
  EXPECT_NE(why.find("bad_run.json"), std::string::npos) << why;
  std::ofstream(at("cut_run.json")) << run_record_json(r).substr(0, 200);
  EXPECT_FALSE(run_record_read(at("cut_run.json"), &why));
}

TEST(RunRecordNames, RecordAndLogPathsFollowTheSeries) {
  EXPECT_EQ(run_record_path("out/demo"), "out/demo_run.json");
  EXPECT_EQ(run_record_path_for("out/demo_file01.dat"), "out/demo_run.json");
  EXPECT_EQ(run_record_path_for("/d/a_file_x_file123.dat"), "/d/a_file_x_run.json");
  EXPECT_EQ(run_record_path_for("out/demo_run.json"), "out/demo_run.json");
  EXPECT_EQ(run_record_path_for("out/demo_file1.dat"), "");
  EXPECT_EQ(run_record_path_for("out/demo.dat"), "");
  EXPECT_EQ(run_record_path_for("out/demo_fileAB.dat"), "");
  EXPECT_EQ(run_log_path("out/demo"), "out/runs.csv");
  EXPECT_EQ(run_log_path("demo"), "./runs.csv");
  EXPECT_EQ(run_log_path("/demo"), "//runs.csv");
}

TEST(RunRecordHash, Sha256OfKnownInputs) {
  EXPECT_EQ(sha256_hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST_F(RunRecordFile_, HashOfAFileSpanningManyReadsMatchesTheHashOfItsBytes) {
  // Longer than one read buffer, not a multiple of it.
  std::string bytes;
  for (int i = 0; i < 3 * (1 << 20) + 12345; ++i) bytes += static_cast<char>(i * 7 + (i >> 9));
  std::ofstream(at("big.bin"), std::ios::binary) << bytes;
  EXPECT_EQ(sha256_file(at("big.bin")), sha256_hex(bytes.data(), bytes.size()));
  EXPECT_EQ(sha256_file(at("none.bin")), "");
}

TEST_F(RunRecordFile_, VerifyNamesTheFileThatChanged) {
  // A series of several files made by the writer.
  RunFileWriter w;
  ASSERT_TRUE(w.open(at("v"), 20000));
  RUNREC h;
  h.nx = 1, h.ny = 1, h.nev = 2000;
  ASSERT_TRUE(w.write(h));
  POSREC p;
  ASSERT_TRUE(w.write(p));
  for (std::uint32_t n = 1; n <= 2000; ++n) {
    EVTREC e;
    e.nev = n;
    e.data[n % 64] = static_cast<std::uint16_t>(n);
    ASSERT_TRUE(w.write(e));
    if (n % 1000 == 0) {
      ASSERT_TRUE(w.rollover_if_needed(5));
    }
  }
  ASSERT_TRUE(w.close(6));
  ASSERT_EQ(w.files().size(), 3u);  // the third holds only its end record

  RunRecord r;
  r.ended = true;
  for (const auto& f : w.files()) r.files.push_back({path_leaf(f), 0, {}});
  std::string why;
  ASSERT_TRUE(run_record_hash_files(r, dir_.string(), &why)) << why;
  EXPECT_EQ(r.files[0].size, fs::file_size(at("v_file01.dat")));
  EXPECT_EQ(r.files[1].sha256, sha256_file(at("v_file02.dat")));
  EXPECT_TRUE(run_record_verify(r, dir_.string()).empty());

  // One flipped bit in the second file.
  {
    std::fstream f(at("v_file02.dat"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(500);
    char c = 0;
    f.get(c);
    f.seekp(500);
    f.put(static_cast<char>(c ^ 0x10));
  }
  auto bad = run_record_verify(r, dir_.string());
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_NE(bad[0].find("v_file02.dat: SHA-256"), std::string::npos) << bad[0];

  // A shortened first file is named by its size; a missing one as missing.
  fs::resize_file(at("v_file01.dat"), r.files[0].size - 1);
  fs::remove(at("v_file02.dat"));
  bad = run_record_verify(r, dir_.string());
  ASSERT_EQ(bad.size(), 2u);
  EXPECT_NE(bad[0].find("v_file01.dat: " + std::to_string(r.files[0].size - 1) + " bytes"),
            std::string::npos)
      << bad[0];
  EXPECT_NE(bad[1].find("v_file02.dat: missing"), std::string::npos) << bad[1];
}

TEST_F(RunRecordFile_, RunLogGetsOneHeaderAndOneQuotedLinePerRun) {
  RunRecord a = sample();
  RunRecord b = sample();
  b.comment = "plain";
  b.ended = false;
  std::string why;
  ASSERT_TRUE(run_log_append(a, at("runs.csv"), &why)) << why;
  ASSERT_TRUE(run_log_append(b, at("runs.csv"), &why)) << why;
  const auto rows = csv_parse(slurp(at("runs.csv")));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], csv_parse(kRunLogHeader)[0]);
  const std::vector<std::string> first{"2026-12-09T23:46:40Z", "2026-12-10T00:46:40Z", "night7",
                                       "2", "2", "3500", "interlock: free disk space", a.comment};
  EXPECT_EQ(rows[1], first);
  EXPECT_EQ(rows[2][1], "");
  EXPECT_EQ(rows[2][6], "did not end");
  EXPECT_EQ(rows[2][7], "plain");
  EXPECT_FALSE(run_log_append(a, at("nowhere/runs.csv"), &why));
}

TEST(RunLogCsv, QuotingRoundTrips) {
  const std::vector<std::string> fields{"", "a", "a,b", "say \"hi\"", " edge", "two\nlines",
                                        "\"", ",", "x\r\ny"};
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) line += (i ? "," : "") + csv_field(fields[i]);
  // An empty first field still makes a row when others follow.
  const auto rows = csv_parse(line + "\n");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], fields);
  EXPECT_EQ(csv_field("plain text"), "plain text");
  EXPECT_EQ(csv_field("a,b"), "\"a,b\"");
}
