// The station as an operator meets it: headless, driven by scripts through
// the real event loop and panel.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>
#include <regex>

#include "run_record.h"
#include "runfile.h"
#include "station.h"

namespace fs = std::filesystem;

namespace {
bool has(const std::string& out, const std::string& what) {
  return out.find(what) != std::string::npos;
}
}  // namespace

TEST(Station, PanelControlsDispatchThroughTheEventLoop) {
  TempDir d;
  // A run file made by the writer.
  RunFileWriter w;
  ASSERT_TRUE(w.open(d / "stored", 0));
  RUNREC r;
  r.nx = 4, r.x0 = -30, r.dx = 15, r.ny = 3, r.y0 = 7, r.dy = -2, r.nev = 1234;
  ASSERT_TRUE(w.write(r));
  ASSERT_TRUE(w.close(1));
  std::ofstream(d / "junk.dat") << "not a run file at all, but longer than fifty-six bytes of text";

  std::string png = d / "panel.png";
  std::string script =
      "# start-up state\n"
      "expect P1_ADC_RANGE 0\n"
      "set P1_CHANNEL 40\n"
      "expect P1_CHANNEL 31\n"
      "set P1_TDC_YMODE 1\n"
      "set P1_ADC_YMODE 1\n"
      "press P1_REFRESH\n"
      "press P1_CLEAR\n"
      "set P1_AUTO_REFRESH 1\n"
      "wait 1.1\n"
      "file " + d / "stored_file01.dat" + "\n"
      "press P1_OPEN_RUN\n"
      "expect P1_NX 4\nexpect P1_X0 -30\nexpect P1_DX 15\n"
      "expect P1_NY 3\nexpect P1_Y0 7\nexpect P1_DY -2\nexpect P1_NEV 1234\n"
      "file " + d / "junk.dat" + "\n"
      "press P1_OPEN_RUN\n"
      "expect P1_NX 4\n"
      "file\n"
      "press P1_OPEN_RUN\n"
      "press P1_PIO_VETO_ON\n"
      "screenshot " + png + "\n"
      "quit\n";
  StationResult res = run_station(script);
  EXPECT_EQ(res.exitCode, 0) << res.output;
  EXPECT_TRUE(has(res.output, "junk.dat not loaded: first word is")) << res.output;
  EXPECT_TRUE(has(res.output, "screenshot: " + png)) << res.output;
  ASSERT_TRUE(fs::exists(png));
  EXPECT_GT(fs::file_size(png), 20000u);  // a real picture of the panel, not an empty image
  std::ifstream in(png, std::ios::binary);
  char sig[8];
  in.read(sig, 8);
  EXPECT_EQ(std::string(sig + 1, 3), "PNG");
}

TEST(Station, ScriptMismatchFailsTheRun) {
  StationResult res = run_station("expect P1_CHANNEL 5\nquit\n");
  EXPECT_NE(res.exitCode, 0);
  EXPECT_TRUE(has(res.output, "expected P1_CHANNEL = 5, panel shows 0")) << res.output;
}

TEST(Station, HeadlessScriptWithoutQuitStillEnds) {
  StationResult res = run_station("press P1_REFRESH\n", "", 60);
  EXPECT_EQ(res.exitCode, 0) << res.output;
}

TEST(Station, BrokenPanelDescriptionIsRefusedClearly) {
  TempDir d;
  std::ifstream in(MDQ_UIR);
  std::string uir((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string broken = std::regex_replace(uir, std::regex("\"P1_RUN\""), "\"P1_RUNX\"");
  ASSERT_NE(broken, uir);
  std::ofstream(d / "broken.uir") << broken;
  StationResult res = run_station("quit\n", "--panel " + d / "broken.uir");
  EXPECT_NE(res.exitCode, 0);
  EXPECT_TRUE(has(res.output, "has no control P1_RUN")) << res.output;

  StationResult missing = run_station("quit\n", "--panel " + d / "nowhere.uir");
  EXPECT_NE(missing.exitCode, 0);
  EXPECT_TRUE(has(missing.output, "Cannot open the panel description")) << missing.output;
}

namespace {
std::size_t count_records(const RunFileScan& s, std::uint32_t id) {
  std::size_t n = 0;
  for (const auto& r : s.records) n += r.id == id;
  return n;
}
const std::string kConnect =
    "press P1_ER_CONNECT\n";
}  // namespace

TEST(Station, ScanRunOnTheSimulatedStand) {
  TempDir d;
  std::string base = d / "scan";
  std::string script =
      "press P1_ER_UDP_OPEN\nset P1_ER_HV 50\npress P1_ER_HV_CONTROL\npress P1_ER_HV_READ\n"
      "press P1_ER_UDP_CLOSE\n" + kConnect +
      "set P1_NX 3\nset P1_NY 2\nset P1_X0 -5\nset P1_DX 5\nset P1_Y0 100\nset P1_DY -20\n"
      "set P1_NEV 100\nset P1_SAVE 1\nset P1_FILE " + base + "\n"
      "set P1_RUN 1\n"
      "press P1_QUIT\n"  // refused: the run is active
      "wait-run 120\n"
      "expect P1_RUN 0\nexpect P1_EVENT 101\nexpect P1_IX 2\nexpect P1_IY 1\n"
      "quit\n";
  StationResult res = run_station(script, "--sim-rate 3000");
  ASSERT_EQ(res.exitCode, 0) << res.output;
  EXPECT_TRUE(has(res.output, "Bias voltage : 50.0")) << res.output;
  EXPECT_TRUE(has(res.output, "SiTCP Master :: Connection Done")) << res.output;
  EXPECT_TRUE(has(res.output, "A run is active: switch RUN off before quitting.")) << res.output;
  EXPECT_TRUE(has(res.output, "Run ended: 6 position(s), 600 event(s) saved.")) << res.output;
  EXPECT_TRUE(has(res.output, "run file: " + base + "_file01.dat\n")) << res.output;

  RunFileScan s = scan_run_file(base + "_file01.dat");
  ASSERT_TRUE(s.error.empty()) << s.error;
  EXPECT_TRUE(s.complete);
  EXPECT_EQ(count_records(s, 1), 1u);
  EXPECT_EQ(count_records(s, 3), 6u);
  EXPECT_EQ(count_records(s, 4), 600u);
  EXPECT_EQ(count_records(s, 2), 1u);
  EXPECT_EQ(s.records.front().run.nev, 100u);
  // Positions y-outer, x-inner with their set-points; events numbered 1..100.
  int pos = 0;
  std::uint32_t nextEvent = 0;
  std::uint64_t adcSum = 0, tdcHits = 0;
  for (const auto& r : s.records) {
    if (r.id == 3) {
      EXPECT_EQ(r.pos.ix, pos % 3);
      EXPECT_EQ(r.pos.iy, pos / 3);
      EXPECT_EQ(r.pos.xset, -5 + 5 * (pos % 3));
      EXPECT_EQ(r.pos.yset, 100 - 20 * (pos / 3));
      ++pos;
      nextEvent = 1;
    } else if (r.id == 4) {
      EXPECT_EQ(r.evt.nev, nextEvent++);
      for (int i = 0; i < 32; ++i) {
        adcSum += r.evt.data[32 + i];
        tdcHits += r.evt.data[i] != 0;
      }
    }
  }
  // Every event carries the board's ADC values (pedestals at least) and
  // TDC hits on most channels.
  EXPECT_GT(adcSum, 600u * 32u * 80u);
  EXPECT_GT(tdcHits, 600u * 32u / 2);
}

TEST(Station, StoppedRunClosesItsFileAndAStalledStartIsRefused) {
  TempDir d;
  std::string base = d / "stopped";
  std::string script = kConnect +
      "set P1_NX 2\nset P1_NY 2\nset P1_NEV 1000000\nset P1_SAVE 1\nset P1_FILE " + base + "\n"
      "set P1_RUN 1\nwait 1.5\nexpect P1_RUN 1\nset P1_RUN 0\nexpect P1_RUN 0\n"
      // An impossible file name: the run refuses to start rather than run unsaved.
      "set P1_FILE " + d / "no/such/dir/run" + "\nset P1_RUN 1\nwait-run 30\nexpect P1_RUN 0\n"
      "quit\n";
  StationResult res = run_station(script);
  ASSERT_EQ(res.exitCode, 0) << res.output;
  EXPECT_TRUE(has(res.output, "Run not started")) << res.output;
  RunFileScan s = scan_run_file(base + "_file01.dat");
  ASSERT_TRUE(s.error.empty()) << s.error;
  EXPECT_TRUE(s.complete);
  EXPECT_EQ(count_records(s, 3), 1u);
  EXPECT_GT(count_records(s, 4), 10u);
}

TEST(Station, ContinuousReadoutStopsOnRequestWithACompleteFile) {
  TempDir d;
  std::string file = d / "esrc.dat";
  std::string script = kConnect +
      "set P1_FILE " + file + "\nset P1_NEV 100000000\n"
      "post P1_ER_DAQ\nwait 2\npress P1_ER_DAQ_STOP\n"
      "press P1_REFRESH\n"  // handled only once the read-out has returned
      "quit\n";
  StationResult res = run_station(script, "", 120);
  ASSERT_EQ(res.exitCode, 0) << res.output;
  EXPECT_TRUE(has(res.output, "EASIROC DAQ SUCESS")) << res.output;
  std::ifstream in(file, std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
  // Whole frames only: magic, count, event number, 64 data words each.
  constexpr std::size_t kFrame = 12 + 64 * 4;
  ASSERT_GT(bytes.size(), 10 * kFrame);
  ASSERT_EQ(bytes.size() % kFrame, 0u);
  for (std::size_t off = 0; off < bytes.size(); off += kFrame) {
    std::uint32_t magic = bytes[off] | bytes[off + 1] << 8 | bytes[off + 2] << 16 |
                          std::uint32_t(bytes[off + 3]) << 24;
    ASSERT_EQ(magic, 0xFFFFEA0Cu) << "frame at byte " << off;
  }
}

// The record beside a run's files agrees with the files, the stand and the
// panel; a stopped run says so; the folder's run log has a line for each.
TEST(Station, RunRecordAndRunLogDescribeTheRun) {
  TempDir d;
  const std::string base = d / "tagged", stopped = d / "stopped";
  const std::string script =
      "press P1_ER_UDP_OPEN\nset P1_ER_HV 51.5\npress P1_ER_HV_CONTROL\npress P1_ER_HV_READ\n"
      "press P1_ER_UDP_CLOSE\n" + kConnect +
      "set P1_TDC_WINDOW_WIDTH 24\npress P1_TDC_INIT\n"
      "set P1_COMMENT bar run 7, \"cold\"\n"
      "set P1_NX 3\nset P1_NY 2\nset P1_X0 -5\nset P1_DX 5\nset P1_NEV 100\n"
      // Half the events pass at random, the rest are dropped: per-position counts differ.
      "set P1_SUPPRESS 1\nset P1_TDCMIN 2147483647\nset P1_FRAC 0.5\n"
      "set P1_SAVE 1\nset P1_FILE " + base + "\nset P1_RUN 1\nwait-run 120\n"
      "set P1_SUPPRESS 0\nset P1_COMMENT stopped by hand\nset P1_NEV 1000000\n"
      "set P1_FILE " + stopped + "\nset P1_RUN 1\nwait 1.5\nset P1_RUN 0\n"
      "quit\n";
  StationResult res = run_station(script, "--sim-rate 3000");
  ASSERT_EQ(res.exitCode, 0) << res.output;

  std::string why;
  const auto r = run_record_read(base + "_run.json", &why);
  ASSERT_TRUE(r) << why;
  EXPECT_EQ(r->comment, "bar run 7, \"cold\"");
  EXPECT_TRUE(r->ended);
  EXPECT_EQ(r->endedBy, "grid done");
  EXPECT_GE(r->endTime, r->startTime);
  EXPECT_FALSE(r->version.empty());
  EXPECT_FALSE(r->host.empty());
  EXPECT_EQ(r->header.nx, 3);
  EXPECT_EQ(r->header.dx, 5);
  EXPECT_EQ(r->header.nev, 100u);
  EXPECT_TRUE(r->suppress);
  EXPECT_FLOAT_EQ(r->frac, 0.5f);
  // The panel's TDC setting and what the module answered at its init.
  EXPECT_EQ(r->tdcWindowWidth, 24);
  EXPECT_GT(r->tdcReadbackTime, 0);
  ASSERT_EQ(r->tdcReadback.size(), 10u);
  EXPECT_EQ(r->tdcReadback[2].first, "window_width");
  EXPECT_EQ(r->tdcReadback[2].second, 24);
  ASSERT_TRUE(r->board);
  EXPECT_EQ(r->board->path, "EASIROCini/EASIROC.ini");
  EXPECT_EQ(r->board->values.size(), 34u);
  EXPECT_EQ(r->board->sha256, sha256_file(std::string(MDQ_SOURCE_DIR) + "/EASIROCini/EASIROC.ini"));
  ASSERT_TRUE(r->bias);
  EXPECT_DOUBLE_EQ(r->bias->setVolts, 51.5);
  ASSERT_TRUE(r->bias->readVolts);
  EXPECT_NEAR(*r->bias->readVolts, 51.5, 0.5);

  // Files, sizes and checksums are those on disk.
  ASSERT_EQ(r->files.size(), 1u);
  EXPECT_EQ(r->files[0].name, "tagged_file01.dat");
  EXPECT_EQ(r->files[0].size, fs::file_size(base + "_file01.dat"));
  EXPECT_TRUE(run_record_verify(*r, d.path().string()).empty());

  // Per position: what the file holds was saved, and every one of the 100
  // triggers was either saved or dropped.
  RunFileScan s = scan_run_file(base + "_file01.dat");
  ASSERT_TRUE(s.complete) << s.error;
  std::vector<std::uint64_t> inFile;
  for (const auto& rec : s.records) {
    if (rec.id == POSREC_ID) inFile.push_back(0);
    if (rec.id == EVTREC_ID) ++inFile.back();
  }
  ASSERT_EQ(r->positions.size(), 6u);
  ASSERT_EQ(inFile.size(), 6u);
  std::uint64_t dropped = 0;
  for (std::size_t k = 0; k < 6; ++k) {
    const auto& p = r->positions[k];
    EXPECT_EQ(p.ix, static_cast<int>(k % 3));
    EXPECT_EQ(p.xset, -5 + 5 * static_cast<int>(k % 3));
    EXPECT_EQ(p.saved, inFile[k]) << "position " << k;
    EXPECT_EQ(p.saved + p.dropped + p.skipped, 100u) << "position " << k;
    dropped += p.dropped;
  }
  EXPECT_GT(dropped, 100u);
  EXPECT_LT(dropped, 500u);

  const auto st = run_record_read(stopped + "_run.json", &why);
  ASSERT_TRUE(st) << why;
  EXPECT_TRUE(st->ended);
  EXPECT_EQ(st->endedBy, "operator stop");
  EXPECT_EQ(st->comment, "stopped by hand");
  EXPECT_EQ(st->files[0].size, fs::file_size(stopped + "_file01.dat"));

  std::ifstream logIn(d / "runs.csv");
  const auto rows = csv_parse(std::string((std::istreambuf_iterator<char>(logIn)), {}));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1][2], "tagged");
  EXPECT_EQ(rows[1][4], "6");
  EXPECT_EQ(rows[1][5], std::to_string(r->saved()));
  EXPECT_EQ(rows[1][6], "grid done");
  EXPECT_EQ(rows[1][7], "bar run 7, \"cold\"");
  EXPECT_EQ(rows[2][6], "operator stop");
}

TEST(Station, MissingDriverStillBringsUpThePanel) {
  StationResult res = run_station("press P1_PIO_VETO_ON\nquit\n", "--driver /nonexistent/libnone.so");
  EXPECT_EQ(res.exitCode, 0) << res.output;
  EXPECT_TRUE(has(res.output, "Failed to load the VME driver library")) << res.output;
  // The command still answers, and does not claim a veto the crate never took.
  EXPECT_TRUE(has(res.output, "PIO veto NOT set: the crate write failed")) << res.output;
  EXPECT_FALSE(has(res.output, "PIO VETO ON")) << res.output;
}

// SIGKILL in the middle of a run: what was written up to the last flush
// (every position record, every 2 s) must read back, the repaired copy
// must be a complete file of those records, and the run record must say
// the run never ended.
TEST(Station, KilledMidRunKeepsEverythingUpToTheLastFlush) {
  TempDir d;
  const std::string base = d / "killed";
  const std::string script = d / "kill.mdqs";
  std::ofstream(script) << kConnect
                        << "set P1_NX 1000\nset P1_NY 1\nset P1_NEV 50\nset P1_SAVE 1\n"
                           "set P1_OVERWRITE 1\n"  // each trial replaces the last one's series
                           "set P1_FILE " + base + "\nset P1_RUN 1\nwait 600\n";
  const std::string logFile = d / "station.log";
  for (int trial = 0; trial < 3; ++trial) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (chdir(MDQ_SOURCE_DIR) != 0) _exit(127);
      int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(log, 1);
      dup2(log, 2);
      setenv("QT_QPA_PLATFORM", "offscreen", 1);
      setenv("XDG_CONFIG_HOME", (d / "config").c_str(), 1);
      execl(MDQ_STATION, MDQ_STATION, "--headless", "--simulate", "--sim-rate", "2000",
            "--script", script.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // Killed a while after the run has started (connecting takes seconds).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool started = false;
    while (!started && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::ifstream in(logFile);
      std::string text((std::istreambuf_iterator<char>(in)), {});
      started = text.find("START:") != std::string::npos;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500 + 700 * trial));
    kill(pid, SIGKILL);
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFSIGNALED(st));
    ASSERT_TRUE(started) << "the run never started";

    const std::string file = base + "_file01.dat";
    RunFileScan s = scan_run_file(file);
    // Nothing but possibly a partial last record is missing.
    if (!s.error.empty()) {
      EXPECT_GE(s.errorOffset + kEvtRecSize, s.size) << s.error;
    }
    EXPECT_FALSE(s.complete);
    ASSERT_GT(s.records.size(), 20u) << "trial " << trial;
    EXPECT_EQ(s.records.front().id, static_cast<std::uint32_t>(RUNREC_ID));

    RepairResult r = repair_run_file(file, d / "repaired.dat");
    ASSERT_TRUE(r.error.empty()) << r.error;
    EXPECT_EQ(r.recordsKept, s.records.size());
    RunFileScan fixed = scan_run_file(d / "repaired.dat");
    EXPECT_TRUE(fixed.complete);
    EXPECT_EQ(fixed.records.size(), s.records.size() + 1);
    // The record written at the start is all there is: it says the run did not end.
    std::string why;
    const auto rec = run_record_read(base + "_run.json", &why);
    ASSERT_TRUE(rec) << why;
    EXPECT_FALSE(rec->ended);
    EXPECT_TRUE(rec->endedBy.empty());
    ASSERT_EQ(rec->files.size(), 1u);
    EXPECT_EQ(rec->files[0].name, "killed_file01.dat");
    EXPECT_EQ(rec->header.nx, 1000);
    EXPECT_FALSE(run_record_verify(*rec, d.path().string()).empty());
    EXPECT_FALSE(fs::exists(base + "_run.json.tmp"));
    fs::remove(base + "_run.json");
    std::printf("trial %d: %zu records recovered from %llu bytes\n", trial, s.records.size(),
                static_cast<unsigned long long>(s.size));
  }
}

// ---- runs never overwritten, numbered runs, the remembered panel ---------------

namespace {
std::string slurp_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
std::string run_script(const std::string& file, int nev) {
  return kConnect + "set P1_NX 1\nset P1_NY 1\nset P1_NEV " + std::to_string(nev) +
         "\nset P1_SAVE 1\nset P1_FILE " + file + "\nset P1_RUN 1\nwait-run 60\n";
}
}  // namespace

TEST(Station, ASecondRunNeverTakesTheFirstRunsFile) {
  TempDir d;
  const std::string base = d / "same";
  StationResult first = run_station(run_script(base, 50) + "quit\n", "--sim-rate 3000");
  ASSERT_EQ(first.exitCode, 0) << first.output;
  const std::string kept = slurp_text(base + "_file01.dat");
  ASSERT_EQ(kept.size(), 56u + 36u + 50u * 140u + 12u);

  // A restart with the same name: refused, the first run's bytes untouched.
  StationResult second = run_station(run_script(base, 20) + "quit\n", "--sim-rate 3000");
  EXPECT_EQ(second.exitCode, 0) << second.output;
  EXPECT_TRUE(has(second.output, "Run not started: " + base + "_file01.dat exists")) << second.output;
  EXPECT_EQ(slurp_text(base + "_file01.dat"), kept);
}

TEST(Station, RunNumbersCarryOnAcrossRestarts) {
  TempDir d;
  const std::string pattern = d / "scan_{run}";
  std::ofstream(d / "scan_00007.txt") << "notes, not a run";
  StationResult a = run_station(run_script(pattern, 5) + "set P1_RUN 1\nwait-run 60\n"
                                "expect P1_RUN_NUMBER 00002\nquit\n", "--sim-rate 3000");
  ASSERT_EQ(a.exitCode, 0) << a.output;
  EXPECT_TRUE(has(a.output, "Run ended: 1 position(s), 5 event(s) saved. Run number 00001.\n"))
      << a.output;
  EXPECT_TRUE(has(a.output, "run file: " + d / "scan_00002_file01.dat\n")) << a.output;
  // An older run deleted: the gap is not filled after a restart.
  fs::remove(d / "scan_00001_file01.dat");
  StationResult b = run_station(run_script(pattern, 5) + "expect P1_RUN_NUMBER 00003\nquit\n",
                                "--sim-rate 3000");
  ASSERT_EQ(b.exitCode, 0) << b.output;
  EXPECT_TRUE(has(b.output, "Run number 00003: files " + d / "scan_00003")) << b.output;
  EXPECT_TRUE(scan_run_file(d / "scan_00003_file01.dat").complete);
  EXPECT_TRUE(fs::exists(d / "scan_00002_file01.dat"));
  EXPECT_FALSE(fs::exists(d / "scan_00001_file01.dat"));
}

TEST(Station, ThePanelIsAsTheOperatorLeftIt) {
  TempDir d;
  const std::string config = (d.path() / "config").string();
  const std::string ini = config + "/mdq/mdq.ini";
  StationResult first = run_station(
      "set P1_NEV 123\nset P1_TDC_WINDOW_WIDTH 33\nset P1_FILE out/bar 7, {run}\nset P1_FRAC 0.25\n"
      "set P1_SUPPRESS 1\nset P1_TDC_YMODE 1\nset P1_OVERWRITE 1\nquit\n",
      "", 60, config);
  ASSERT_EQ(first.exitCode, 0) << first.output;
  EXPECT_TRUE(has(first.output, "Panel settings: none saved yet")) << first.output;
  EXPECT_TRUE(has(first.output, "Panel settings saved to " + ini + ".\n")) << first.output;
  const std::string saved = slurp_text(ini);
  EXPECT_TRUE(has(saved, "P1_NEV=123\n")) << saved;
  for (const char* never : {"P1_EVENT", "P1_RUN_STATUS", "P1_OVERWRITE", "P1_RUN="})
    EXPECT_FALSE(has(saved, never)) << never << " in\n" << saved;

  StationResult second = run_station(
      "expect P1_NEV 123\nexpect P1_TDC_WINDOW_WIDTH 33\nexpect P1_FILE out/bar 7, {run}\n"
      "expect P1_FRAC 0.25\nexpect P1_SUPPRESS 1\nexpect P1_TDC_YMODE 1\nexpect P1_OVERWRITE 0\n"
      "press P1_TDC_READ_CONFIG\npress P1_DEFAULTS\n"
      "expect P1_NEV 2000\nexpect P1_FILE run\nexpect P1_SUPPRESS 0\nexpect P1_TDC_YMODE 0\n"
      "set P1_NEV 77\nquit\n",
      "", 60, config);
  ASSERT_EQ(second.exitCode, 0) << second.output;
  EXPECT_TRUE(has(second.output, "Panel settings restored from " + ini)) << second.output;
  EXPECT_TRUE(has(second.output, "Panel settings back to the panel file's values")) << second.output;
  // The TDC was programmed with the restored window at start-up.
  EXPECT_TRUE(has(second.output, "Match window Width = 33\n")) << second.output;

  StationResult fresh = run_station("expect P1_NEV 2000\nquit\n", "--no-restore", 60, config);
  EXPECT_EQ(fresh.exitCode, 0) << fresh.output;
  EXPECT_TRUE(has(fresh.output, "not restored (--no-restore)")) << fresh.output;
}

TEST(Station, ASettingsFileThatCannotBeUsedIsReportedAndIgnored) {
  TempDir d;
  const std::string config = (d.path() / "config").string();
  const std::string ini = config + "/mdq/mdq.ini";
  fs::create_directories(config + "/mdq");
  // Binary junk with NUL bytes inside: its length is the array's, not strlen's.
  static const char kBinary[] = "\x7f" "ELF\x02\x01\x01\0\0\0[[[=\xff\xfe\n";
  const std::string broken[] = {
      "[General]\nformat=1\n[panel]\nP1_NX=7\nP1_NEV=lots\n",
      std::string(kBinary, sizeof kBinary - 1),
  };
  for (const std::string& text : broken) {
    std::ofstream(ini, std::ios::binary) << text;
    StationResult r = run_station("expect P1_NX 3\nexpect P1_NEV 2000\nquit\n", "", 60, config);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(has(r.output, "Panel settings in " + ini + " not restored: ")) << r.output;
    EXPECT_EQ(slurp_text(ini + ".bad"), text);
    EXPECT_TRUE(has(slurp_text(ini), "format=1")) << "a fresh file is written at quit";
  }
}
