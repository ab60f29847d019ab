// The acquisition worker and the run toggle against the simulated stand:
// the crate model behind the driver library loaded by path, the board
// emulator on an ephemeral 127.0.0.1 port, and the one trigger source that
// feeds both. Every run's file series is read back and compared with what
// the stand generated.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "backend.h"
#include "board.h"
#include "board_emulator.h"
#include "camac.h"
#include "daq_run.h"
#include "decode.h"
#include "dispatch.h"
#include "easiroc.h"
#include "mdq_main.h"
#include "mdq_ui.h"
#include "platform.h"
#include "run_control.h"
#include "run_record.h"
#include "run_map.h"
#include "runfile.h"
#include "sim_crate.h"
#include "sim_driver.h"
#include "live_histograms.h"
#include "stand_helpers.h"
#include "trigger_source.h"
#include "v1290.h"
#include "wienvme_dll.h"
#include "run_state.h"

using namespace mdq::test;

namespace {

constexpr std::uint32_t kPio = PIO_OUTPUT;
constexpr std::uint32_t kTdcOutputBuffer = V1290_OUTPUT_BUFFER;
constexpr std::uint32_t kTdcEventsStored = V1290_EVENT_STORED;

std::atomic<std::uint32_t> g_fakeNow{0};
std::uint32_t fake_clock() { return g_fakeNow.load(); }

// Every trigger whose ADC half the board emulator took, in the order its
// frames went out.
std::mutex g_recMu;
std::vector<sim::TriggerRecord> g_recorded;

std::vector<sim::TriggerRecord> recorded() {
  std::lock_guard lk(g_recMu);
  return g_recorded;
}

// What EVTREC.data[0..31] must hold for a trigger: per TDC chip (8
// channels), hits in the order the chip reports them; the first measurement
// of a histogram channel decides it, and only a leading edge is kept.
// TDC channels 1..15 land one histogram channel lower.
std::array<std::uint16_t, 32> expected_tdc(const sim::TriggerRecord& r, std::uint32_t enabled,
                                           int edgeMode) {
  std::array<std::uint16_t, 32> out{};
  std::array<bool, 32> seen{};
  for (unsigned chip = 0; chip < 4; ++chip) {
    for (std::uint32_t i = 0; i < r.nhits; ++i) {
      const auto& h = r.hits[i];
      if (h.channel / 8 != chip || !(enabled >> h.channel & 1)) continue;
      if ((edgeMode == 1 && !h.trailing) || (edgeMode == 2 && h.trailing)) continue;
      int hc = h.channel;
      if (hc >= 1 && hc <= 15) --hc;
      if (seen[hc]) continue;
      seen[hc] = true;
      if (!h.trailing) out[hc] = static_cast<std::uint16_t>(h.value & 0xFFFF);
    }
  }
  return out;
}

long long sum_bins(std::span<const Bin> bins) {
  long long s = 0;
  for (const auto& b : bins) s += b.load();
  return s;
}

// The board's frames come from the shared trigger source, each one recorded.
std::optional<sim::TriggerRecord> recorded_frame(std::chrono::milliseconds timeout) {
  auto r = sim::shared_trigger_source().takeAdcFrame(timeout);
  if (r) {
    std::lock_guard lk(g_recMu);
    g_recorded.push_back(*r);
  }
  return r;
}

[[maybe_unused]] const auto* const g_env =
    ::testing::AddGlobalTestEnvironment(new StandEnvironment(recorded_frame));

class RunSim : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fresh_test_dir("mdq_run_");
    base_ = (dir_ / "run").string();

    daq_set_clock(nullptr);
    run_state().reset();
    ntics = 0;
    sim::simcrate_status_never_ready(false);
    sim::simcrate_suppress_global_trailer(false);
    std::uint16_t one = 1;
    EXPECT_EQ(WIENVME_write16(hHandle24, 1, kPio, &one), 0);  // no trigger until a run releases the veto
    auto& source = sim::shared_trigger_source();
    source.setRate(0);
    source.reset();
    // A test that silenced the board must not leave it silent for the next.
    stand_board().setFrameSource(recorded_frame);
    // Frames of an earlier run's extra triggers go with the old connection.
    reconnect_board(stand_board());
    {
      std::lock_guard lk(g_recMu);
      g_recorded.clear();
    }
    sim::simcrate_clear_cycles();

    reset_run_settings(base_);
  }

  void TearDown() override {
    if (run_worker_id() != 0) {
      SetCtrlVal(p1h, P1_RUN, 0);
      run_toggle(P1_RUN);
    }
    daq_set_clock(nullptr);
    sim::simcrate_status_never_ready(false);
    sim::simcrate_suppress_global_trailer(false);
    stdfs::remove_all(dir_);
  }

  std::string file(int n) const { return run_file_name(base_, n); }

  static void start() { start_run(); }
  static double stop_within(std::chrono::seconds limit) {
    return std::chrono::duration<double>(stop_run_within(limit)).count();
  }

  stdfs::path dir_;
  std::string base_;
};

// ---- a whole run -----------------------------------------------------------

TEST_F(RunSim, WholeGridRunKeepsWhatTheStandGenerated) {
  g_fakeNow = 1234567;
  daq_set_clock(fake_clock);
  SetCtrlVal(p1h, P1_NX, 3);
  SetCtrlVal(p1h, P1_DX, 10);
  SetCtrlVal(p1h, P1_X0, -5);
  SetCtrlVal(p1h, P1_NY, 2);
  SetCtrlVal(p1h, P1_DY, 7);
  SetCtrlVal(p1h, P1_Y0, 100);
  SetCtrlVal(p1h, P1_NEV, 200);
  SetCtrlVal(p1h, P1_XY, 5);
  SetCtrlVal(p1h, P1_PED, 9);
  ConsoleCapture con;
  const auto t0 = Clock::now();
  ASSERT_TRUE(run_to_end(30s));
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  RecordProperty("run_seconds", std::to_string(secs));

  EXPECT_EQ(ctrl(P1_RUN), 0);
  EXPECT_FALSE(run_state().active());
  EXPECT_EQ(ctrl(P1_EVENT), 201);
  EXPECT_EQ(ctrl(P1_IX), 2);
  EXPECT_EQ(ctrl(P1_IY), 1);
  EXPECT_EQ(ctrl(P1_XSET), 15);
  EXPECT_EQ(ctrl(P1_YSET), 107);
  EXPECT_EQ(pio_output(), 1) << "a run that ends by itself leaves the veto on";
  const std::string text = con.text();
  EXPECT_NE(text.find("START:"), std::string::npos);
  EXPECT_NE(text.find("run file: " + file(1) + "\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("Opened file"), std::string::npos);
  EXPECT_FALSE(stdfs::exists(file(2)));

  const auto s = scan_run_file(file(1));
  ASSERT_TRUE(s.error.empty()) << s.error;
  ASSERT_TRUE(s.complete);
  ASSERT_EQ(s.records.size(), 1u + 6u + 1200u + 1u);
  ASSERT_EQ(s.records.front().id, RUNREC_ID);
  const RUNREC& rh = s.records.front().run;
  EXPECT_EQ(rh.fver, 0x00010000u);
  EXPECT_EQ(rh.time, 1234567u);
  EXPECT_EQ(rh.nev, 200u);
  EXPECT_EQ(rh.nch, 32u);
  EXPECT_EQ(rh.ped, 9u);
  EXPECT_EQ(rh.xy, 5u);
  EXPECT_EQ(rh.nx, 3);
  EXPECT_EQ(rh.x0, -5);
  EXPECT_EQ(rh.dx, 10);
  EXPECT_EQ(rh.ny, 2);
  EXPECT_EQ(rh.y0, 100);
  EXPECT_EQ(rh.dy, 7);
  EXPECT_EQ(s.records.back().id, ENDREC_ID);
  EXPECT_EQ(s.records.back().end.time, 1234567u);

  const auto sc = sim::simcrate_state();
  const auto gen = recorded();
  ASSERT_GE(gen.size(), 1200u);
  std::size_t at = 1, evt = 0;
  int mismatches = 0;
  long long lastPosTdc0 = 0;
  for (int iy = 0; iy < 2; ++iy) {
    for (int ix = 0; ix < 3; ++ix) {
      ASSERT_EQ(s.records[at].id, POSREC_ID) << "at record " << at;
      const POSREC& p = s.records[at].pos;
      EXPECT_EQ(p.ix, ix);
      EXPECT_EQ(p.iy, iy);
      EXPECT_EQ(p.xset, -5 + 10 * ix);
      EXPECT_EQ(p.yset, 100 + 7 * iy);
      EXPECT_EQ(p.time, 1234567u);
      ++at;
      for (std::uint32_t n = 1; n <= 200; ++n, ++at, ++evt) {
        ASSERT_EQ(s.records[at].id, EVTREC_ID) << "at record " << at;
        const EVTREC& e = s.records[at].evt;
        EXPECT_EQ(e.nev, n);
        const auto& trig = gen[evt];
        const auto tdc = expected_tdc(trig, sc.channelEnable, sc.edgeDetection);
        for (int i = 0; i < 32 && mismatches < 10; ++i) {
          if (e.data[32 + i] != trig.adc[i][0]) {
            ++mismatches;
            ADD_FAILURE() << "event " << evt << " (trigger " << trig.number << ") ADC channel " << i
                          << ": file " << e.data[32 + i] << ", generated " << trig.adc[i][0];
          }
          if (e.data[i] != tdc[i]) {
            ++mismatches;
            ADD_FAILURE() << "event " << evt << " (trigger " << trig.number << ") TDC channel " << i
                          << ": file " << e.data[i] << ", expected " << tdc[i];
          }
        }
        if (iy == 1 && ix == 2 && e.data[0] != 0) ++lastPosTdc0;
      }
    }
  }
  // The spectra hold the last position only; every event has a gain-0 and a
  // gain-1 word for channel 0, and channel 0's kept TDC values are counted.
  EXPECT_EQ(sum_bins(dadc[0][0]), 200);
  EXPECT_EQ(sum_bins(dadc[0][1]), 200);
  EXPECT_GT(lastPosTdc0, 100);
  EXPECT_EQ(sum_bins(dtdc[0][0]), lastPosTdc0);
  EXPECT_EQ(sum_bins(dtdc[0][1]), 0);
  EXPECT_EQ(sum_bins(dtdc[15][0]), 0) << "no TDC channel maps to histogram channel 15";
}

namespace {

// Where two maps differ, outside the tag channel: a tagged TDC value is past
// 16 bits, so the run does not count it and the file keeps it truncated.
std::string map_difference_but_tag(const ScanMap& live, const ScanMap& stored) {
  const ScanGrid g = live.grid();
  if (g.nx != stored.grid().nx || g.ny != stored.grid().ny) return "grids differ";
  for (int iy = 0; iy < g.ny; ++iy)
    for (int ix = 0; ix < g.nx; ++ix) {
      const ScanMap::Cell a = live.cell(ix, iy), b = stored.cell(ix, iy);
      const std::string at = std::to_string(ix) + "," + std::to_string(iy);
      if (a.visited != b.visited || a.saved != b.saved) return "cell " + at + " events";
      for (std::size_t ch = 0; ch < 32; ++ch) {
        if (ch == sim::kTagChannel) continue;
        const std::string where = "cell " + at + " channel " + std::to_string(ch);
        if (a.tdc[ch].n != b.tdc[ch].n || a.tdc[ch].sum != b.tdc[ch].sum) return where + " TDC";
        if (a.adc0[ch].n != b.adc0[ch].n || a.adc0[ch].sum2 != b.adc0[ch].sum2)
          return where + " ADC";
        for (std::size_t k = 0; k < 2; ++k) {
          const float pa = a.peak[k][ch], pb = b.peak[k][ch];
          if (std::isnan(pa) != std::isnan(pb) || std::fabs(pa - pb) > 0.01f)
            return where + (k ? " ADC" : " TDC") + " peak " + std::to_string(pa) + "/" +
                   std::to_string(pb);
        }
      }
    }
  return {};
}

}  // namespace

TEST_F(RunSim, ScanMapFilledDuringTheRunEqualsTheMapOfItsFile) {
  // Tagged triggers: a mispaired event would show as a difference here.
  sim::shared_trigger_source().setTagged(true);
  struct Untag {
    ~Untag() { sim::shared_trigger_source().setTagged(false); }
  } untag;
  SetCtrlVal(p1h, P1_NX, 3);
  SetCtrlVal(p1h, P1_DX, 10);
  SetCtrlVal(p1h, P1_NY, 2);
  SetCtrlVal(p1h, P1_DY, 5);
  SetCtrlVal(p1h, P1_Y0, -5);
  SetCtrlVal(p1h, P1_NEV, 200);
  ASSERT_TRUE(run_to_end(30s));
  ASSERT_TRUE(scan_map_fits_done(10s));
  const ScanMap& live = shown_scan_map();
  EXPECT_FALSE(shown_map_source().stored);
  ASSERT_EQ(live.grid().cells(), 6);
  for (int iy = 0; iy < 2; ++iy)
    for (int ix = 0; ix < 3; ++ix) {
      const ScanMap::Cell c = live.cell(ix, iy);
      EXPECT_TRUE(c.visited);
      EXPECT_EQ(c.saved, 200u);
      EXPECT_EQ(c.xset, 10 * ix);
      EXPECT_EQ(c.yset, -5 + 5 * iy);
      // Histogram channel 0 carries TDC channel 1: the stand's peak at 8040.
      EXPECT_NEAR(c.tdc[0].mean(), 8040, 30);
      EXPECT_NEAR(c.peak[0][0], 8040, 15) << "fitted TDC peak at " << ix << "," << iy;
      EXPECT_NEAR(c.peak[1][0], 100, 3) << "channel 0's gain-0 pedestal";
      EXPECT_FALSE(std::isnan(c.peak[2][0])) << "gain 1 is fitted live";
      EXPECT_EQ(c.adc1[0].n, 200u) << "gain 1 is kept live, though no file has it";
    }

  ScanMap stored;
  ReplaySelection all;
  ASSERT_EQ(scan_map_from_run({file(1)}, all, stored), 0);
  // The same sums, and the same spectra fitted the same way.
  EXPECT_EQ(map_difference_but_tag(live, stored), "");
  EXPECT_EQ(stored.cell(2, 1).adc1[0].n, 0u);
  EXPECT_TRUE(std::isnan(stored.cell(2, 1).peak[2][0]));
}

TEST_F(RunSim, FileRollsOverAtTheThousandthEventPastTheLimit) {
  // 3 positions of 3000: the limit of 1 MB is first passed at event 2000
  // of the third position (980,164 bytes at event 1000, 1,120,164 at 2000).
  SetCtrlVal(p1h, P1_NX, 3);
  SetCtrlVal(p1h, P1_NEV, 3000);
  SetCtrlVal(p1h, P1_FMAX, 1);
  ConsoleCapture con;
  ASSERT_TRUE(run_to_end(60s));
  EXPECT_EQ(ctrl(P1_EVENT), 3001);
  EXPECT_EQ(count_of(con.text(), "\tOpened file " + file(2) + "\n"), 1u) << con.text();
  EXPECT_NE(con.text().find("run file: " + file(1) + "\n"), std::string::npos);
  EXPECT_NE(con.text().find("run file: " + file(2) + "\n"), std::string::npos);
  EXPECT_FALSE(stdfs::exists(file(3)));

  const auto s1 = scan_run_file(file(1));
  const auto s2 = scan_run_file(file(2));
  ASSERT_TRUE(s1.error.empty()) << s1.error;
  ASSERT_TRUE(s2.error.empty()) << s2.error;
  EXPECT_TRUE(s1.complete);
  EXPECT_TRUE(s2.complete);
  EXPECT_EQ(s1.size, 1120164u + 12u);
  EXPECT_EQ(s1.records.front().id, RUNREC_ID);
  EXPECT_EQ(s2.records.front().id, EVTREC_ID) << "a continuation file has no run header";
  EXPECT_EQ(s2.records.front().evt.nev, 2001u);
  EXPECT_EQ(of_type(s1, RUNREC_ID).size() + of_type(s2, RUNREC_ID).size(), 1u);
  EXPECT_EQ(of_type(s1, ENDREC_ID).size(), 1u);
  EXPECT_EQ(of_type(s2, ENDREC_ID).size(), 1u);

  // Across the series: positions in order, event numbers 1..3000 in each.
  std::vector<RunFileRecord> all;
  for (const auto* s : {&s1, &s2})
    for (const auto& r : s->records)
      if (r.id == POSREC_ID || r.id == EVTREC_ID) all.push_back(r);
  ASSERT_EQ(all.size(), 3u * 3001u);
  std::size_t at = 0;
  for (int ix = 0; ix < 3; ++ix) {
    ASSERT_EQ(all[at].id, POSREC_ID);
    EXPECT_EQ(all[at].pos.ix, ix);
    ++at;
    for (std::uint32_t n = 1; n <= 3000; ++n, ++at) {
      ASSERT_EQ(all[at].id, EVTREC_ID);
      ASSERT_EQ(all[at].evt.nev, n);
    }
  }
}

// ---- failures of the run file -----------------------------------------------

TEST_F(RunSim, DiskFullEndsTheRunAndKeepsCompleteRecords) {
  constexpr rlim_t kLimit = 20000;  // not a record boundary
  SetCtrlVal(p1h, P1_NEV, 1000);
  ConsoleCapture con;
  {
    FileSizeLimit limit(kLimit);
    ASSERT_TRUE(limit.ok());
    ASSERT_TRUE(run_to_end(20s));
  }
  const std::string text = con.text();
  EXPECT_NE(text.find("Run ended early"), std::string::npos) << text;
  EXPECT_NE(text.find("NOT recorded"), std::string::npos) << text;
  EXPECT_EQ(ctrl(P1_RUN), 0);
  EXPECT_FALSE(run_state().active());
  EXPECT_LT(ctrl(P1_EVENT), 1000) << "the run went on after its data stopped being kept";
  EXPECT_EQ(pio_output(), 1);
  EXPECT_TRUE(sim::shared_trigger_source().veto());

  const auto s = scan_run_file(file(1));
  EXPECT_FALSE(s.complete);
  EXPECT_FALSE(s.error.empty());
  EXPECT_EQ(s.size, kLimit);
  const std::uint64_t whole = (kLimit - 56 - 36) / 140;
  ASSERT_EQ(s.records.size(), 2u + whole);
  EXPECT_EQ(s.records[0].id, RUNREC_ID);
  EXPECT_EQ(s.records[1].id, POSREC_ID);
  for (std::size_t i = 2; i < s.records.size(); ++i) {
    ASSERT_EQ(s.records[i].id, EVTREC_ID);
    EXPECT_EQ(s.records[i].evt.nev, i - 1);
  }

  // The next run, with room again, works.
  con.clear();
  SetCtrlVal(p1h, P1_NEV, 5);
  SetCtrlVal(p1h, P1_OVERWRITE, 1);
  ASSERT_TRUE(run_to_end(10s));
  const auto again = scan_run_file(file(1));
  EXPECT_TRUE(again.complete);
  EXPECT_EQ(of_type(again, EVTREC_ID).size(), 5u);
}

TEST_F(RunSim, UnopenableRunFileTakesNoEvents) {
  const std::string base = (dir_ / "no_such_dir" / "run").string();
  SetCtrlVal(p1h, P1_FILE, base.c_str());
  SetCtrlVal(p1h, P1_NX, 2);
  ConsoleCapture con;
  ASSERT_TRUE(run_to_end(10s));
  EXPECT_NE(con.text().find("Run not started"), std::string::npos) << con.text();
  EXPECT_EQ(con.text().find("Run ended early"), std::string::npos)
      << "a run that never started cannot have ended early, nor kept data: " << con.text();
  EXPECT_EQ(con.text().find("run file: "), std::string::npos);
  EXPECT_EQ(ctrl(P1_RUN), 0);
  EXPECT_FALSE(run_state().active());
  EXPECT_EQ(sim::shared_trigger_source().generated(), 0u);
  EXPECT_EQ(pio_output(), 1) << "the veto was never released";
  EXPECT_FALSE(stdfs::exists(run_file_name(base, 1)));
}

// ---- run control ------------------------------------------------------------

TEST_F(RunSim, OperatorStopMidRunClosesTheFileAndReleasesTheVeto) {
  SetCtrlVal(p1h, P1_NEV, 1000000);
  ConsoleCapture con;
  start();
  ASSERT_NE(run_worker_id(), 0);
  ASSERT_TRUE(wait_until([] { return ctrl(P1_EVENT) >= 50; }, 10s));
  const double secs = stop_within(10s);
  EXPECT_LT(secs, 2.0);
  EXPECT_EQ(run_worker_id(), 0);
  EXPECT_EQ(CmtRunningThreadPoolFunctions(poolHandle), 0);
  EXPECT_EQ(ctrl(P1_RUN), 0);
  EXPECT_FALSE(run_state().active());
  EXPECT_EQ(pio_output(), 0) << "the stop path releases the veto";
  EXPECT_FALSE(sim::shared_trigger_source().veto());

  const auto s = scan_run_file(file(1));
  ASSERT_TRUE(s.error.empty()) << s.error;
  ASSERT_TRUE(s.complete);
  const auto evts = of_type(s, EVTREC_ID);
  ASSERT_GE(evts.size(), 50u);
  for (std::size_t i = 0; i < evts.size(); ++i) ASSERT_EQ(evts[i].evt.nev, i + 1);
  // The event being read out when the flag went down was completed; the
  // next cycle left at its trigger wait, one number further on.
  EXPECT_EQ(static_cast<std::uint32_t>(ctrl(P1_EVENT)), evts.back().evt.nev + 1);
}

TEST_F(RunSim, RunEndingByItselfLeavesVetoOnAndTheNextStartWorks) {
  SetCtrlVal(p1h, P1_NEV, 5);
  ConsoleCapture con;
  ASSERT_TRUE(run_to_end(10s));
  EXPECT_EQ(ctrl(P1_RUN), 0);
  EXPECT_FALSE(run_state().active());
  EXPECT_EQ(pio_output(), 1);
  EXPECT_TRUE(sim::shared_trigger_source().veto());

  SetCtrlVal(p1h, P1_NEV, 7);
  SetCtrlVal(p1h, P1_OVERWRITE, 1);
  ASSERT_TRUE(run_to_end(10s));
  EXPECT_EQ(con.text().find("still finishing"), std::string::npos) << con.text();
  EXPECT_EQ(count_of(con.text(), "START:"), 2u);
  const auto s = scan_run_file(file(1));
  EXPECT_TRUE(s.complete);
  EXPECT_EQ(of_type(s, EVTREC_ID).size(), 7u);
  EXPECT_EQ(ctrl(P1_EVENT), 8);

  // Stopping a run that already ended collects it and releases the veto.
  stop_within(5s);
  EXPECT_EQ(run_worker_id(), 0);
  EXPECT_EQ(pio_output(), 0);
}

// A panel backend that holds the worker, for a bounded time, right after it
// has switched the toggle off at the end of its run: the moment an operator
// may switch it on again while the worker has not yet returned.
class HoldingBackend : public mdq::platform::Backend {
 public:
  int loadPanel(const std::string&) override { return 0; }
  void displayPanel() override {}
  void discardPanel() override {}
  void valueChanged(int control) override {
    if (std::this_thread::get_id() == main_) return;
    if (control == P1_RUN) runOffSeen_ = true;
    if (control == P1_EVENT && runOffSeen_.exchange(false)) {
      std::unique_lock lk(mu_);
      held_ = true;
      cv_.notify_all();
      cv_.wait_for(lk, 500ms, [this] { return released_; });
      held_ = false;
    }
  }
  void setAttribute(int, int, int) override {}
  int plot(int, std::span<const std::int32_t>, int) override { return 1; }
  void deletePlot(int, int) override {}
  void processEvents(int) override { std::this_thread::sleep_for(1ms); }
  void wake() override {}
  int fileDialog(const std::string&, const std::string&, const std::string&, bool,
                 std::string*) override {
    return 0;
  }
  void consoleText(const std::string&) override {}

  bool waitHeld(std::chrono::milliseconds timeout) {
    std::unique_lock lk(mu_);
    return cv_.wait_for(lk, timeout, [this] { return held_; });
  }
  void release() {
    std::lock_guard lk(mu_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  std::thread::id main_ = std::this_thread::get_id();
  std::atomic<bool> runOffSeen_{false};
  std::mutex mu_;
  std::condition_variable cv_;
  bool held_ = false;
  bool released_ = false;
};

TEST_F(RunSim, StartWhileTheLastRunIsFinishingDoesNotShowAPhantomRun) {
  SetCtrlVal(p1h, P1_NEV, 5);
  ConsoleCapture con;
  HoldingBackend panel;
  mdq::platform::set_backend(&panel);
  start();
  const bool held = panel.waitHeld(5s);
  if (held) {
    EXPECT_EQ(ctrl(P1_RUN), 0);
    start();  // the operator switches the toggle on again
  }
  panel.release();
  const bool idle =
      wait_until(run_idle, 10s);
  mdq::platform::set_backend(nullptr);
  ASSERT_TRUE(held);
  ASSERT_TRUE(idle);
  // Either the new run was taken, or it was refused and the toggle says so.
  if (con.text().find("still finishing") != std::string::npos) {
    EXPECT_EQ(ctrl(P1_RUN), 0) << "the toggle shows a run that is not being taken";
    EXPECT_EQ(count_of(con.text(), "START:"), 1u);
  } else {
    EXPECT_EQ(count_of(con.text(), "START:"), 2u);
    EXPECT_EQ(ctrl(P1_RUN), 0);
  }
  EXPECT_FALSE(run_state().active());
}

TEST_F(RunSim, HundredStartStopCyclesLeaveNoWorkerBehind) {
  SetCtrlVal(p1h, P1_NEV, 1000000);
  SetCtrlVal(p1h, P1_OVERWRITE, 1);  // every cycle into the same file
  ConsoleCapture con;
  const auto t0 = Clock::now();
  for (int i = 0; i < 100; ++i) {
    start();
    ASSERT_NE(run_worker_id(), 0) << "cycle " << i;
    if (i % 10 == 0) {
      // Some cycles stop while events flow, the rest at once.
      ASSERT_TRUE(wait_until([] { return ctrl(P1_EVENT) >= 3; }, 5s)) << "cycle " << i;
    }
    stop_within(10s);
    ASSERT_EQ(run_worker_id(), 0) << "cycle " << i;
    ASSERT_EQ(CmtRunningThreadPoolFunctions(poolHandle), 0) << "cycle " << i;
    ASSERT_FALSE(run_state().active());
    ASSERT_EQ(pio_output(), 0);
    const auto s = scan_run_file(file(1));
    ASSERT_TRUE(s.complete) << "cycle " << i << ": " << s.error;
    SetCtrlVal(p1h, P1_EVENT, 0);
  }
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  EXPECT_LT(secs, 30.0);
  EXPECT_EQ(count_of(con.text(), "START:"), 100u);
  EXPECT_EQ(con.text().find("still finishing"), std::string::npos);
}

// ---- grid edges -------------------------------------------------------------

TEST_F(RunSim, EmptyGridWritesHeaderAndEndOnly) {
  SetCtrlVal(p1h, P1_OVERWRITE, 1);
  for (auto [nx, ny] : {std::pair{0, 3}, std::pair{3, 0}, std::pair{-1, 2}}) {
    SCOPED_TRACE("nx " + std::to_string(nx) + " ny " + std::to_string(ny));
    SetCtrlVal(p1h, P1_NX, nx);
    SetCtrlVal(p1h, P1_NY, ny);
    ASSERT_TRUE(run_to_end(10s));
    const auto s = scan_run_file(file(1));
    ASSERT_TRUE(s.complete) << s.error;
    ASSERT_EQ(s.records.size(), 2u);
    EXPECT_EQ(s.records[0].id, RUNREC_ID);
    EXPECT_EQ(s.records[0].run.nx, nx);
    EXPECT_EQ(s.records[1].id, ENDREC_ID);
    EXPECT_EQ(ctrl(P1_RUN), 0);
  }
  EXPECT_EQ(sim::shared_trigger_source().generated(), 0u);
}

TEST_F(RunSim, ZeroEventsPerPositionStillTakesOne) {
  SetCtrlVal(p1h, P1_NX, 2);
  SetCtrlVal(p1h, P1_NY, 2);
  SetCtrlVal(p1h, P1_NEV, 0);
  ASSERT_TRUE(run_to_end(10s));
  const auto s = scan_run_file(file(1));
  ASSERT_TRUE(s.complete) << s.error;
  ASSERT_EQ(s.records.size(), 1u + 4u * 2u + 1u);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(s.records[1 + 2 * k].id, POSREC_ID);
    EXPECT_EQ(s.records[1 + 2 * k].pos.ix, k % 2);
    EXPECT_EQ(s.records[1 + 2 * k].pos.iy, k / 2);
    ASSERT_EQ(s.records[2 + 2 * k].id, EVTREC_ID);
    EXPECT_EQ(s.records[2 + 2 * k].evt.nev, 1u);
  }
  EXPECT_EQ(ctrl(P1_EVENT), 2);
}

// ---- the trigger wait ---------------------------------------------------------

// Lets exactly one trigger through while the worker waits: the source is
// throttled to one per 50 ms and throttled again as soon as it fired.
void one_trigger() {
  auto& source = sim::shared_trigger_source();
  const auto before = source.generated();
  source.setRate(20);
  const bool fired = wait_until([&] { return source.generated() > before; }, 2s);
  source.setRate(1e-6);
  ASSERT_TRUE(fired);
  ASSERT_EQ(source.generated(), before + 1);
}

namespace {
// How the run record says the run ended ("" when it has none or no end).
std::string ended_by(const std::string& base) {
  std::string why;
  const auto r = run_record_read(run_record_path(base), &why);
  return r && r->ended ? r->endedBy : "";
}
}  // namespace

TEST_F(RunSim, LateTriggerIsSkippedAndADueTimeStepMovesOn) {
  auto& source = sim::shared_trigger_source();
  source.setRate(1e-6);  // nothing fires until the test says so
  g_fakeNow = 1000;
  daq_set_clock(fake_clock);
  SetCtrlVal(p1h, P1_NX, 2);
  SetCtrlVal(p1h, P1_X0, 40);
  SetCtrlVal(p1h, P1_DX, 5);
  SetCtrlVal(p1h, P1_NEV, 4);
  SetCtrlVal(p1h, P1_STEP_MINUTES, 1);  // deadline 1060
  ConsoleCapture con;
  start();

  // Event 1: two timer ticks during the wait, deadline not reached: skipped
  // but counted.
  ASSERT_TRUE(wait_until(in_trigger_wait, 5s));
  unsigned writes = sim::simcrate_state().pioWrites;
  auto next_wait = [&] {
    // veto on after the trigger, veto off for the next one
    const bool ok = wait_until(
        [&] { return sim::simcrate_state().pioWrites >= writes + 2 && in_trigger_wait(); }, 5s);
    writes = sim::simcrate_state().pioWrites;
    return ok;
  };
  ntics += 2;
  one_trigger();
  // Event 2: a prompt trigger is read out and saved.
  ASSERT_TRUE(next_wait());
  EXPECT_EQ(ctrl(P1_EVENT), 0) << "a skipped event is not shown";
  one_trigger();
  ASSERT_TRUE(next_wait());
  // Saved and shown a few milliseconds into the wait for the next trigger.
  EXPECT_TRUE(wait_until([] { return ctrl(P1_EVENT) == 2; }, 5s)) << ctrl(P1_EVENT);
  // Event 3: late again, and the time step is due: the position ends here.
  g_fakeNow = 1060;
  ntics += 2;
  one_trigger();
  // Position 1 runs freely; its deadline (1120) is never reached.
  ASSERT_TRUE(wait_until([] { return ctrl(P1_IX) == 1 && in_trigger_wait(); }, 5s));
  source.setRate(0);
  ASSERT_TRUE(wait_until(run_idle, 10s));

  const std::string text = con.text();
  EXPECT_EQ(count_of(text, "STEP (lam):"), 1u) << text;
  EXPECT_NE(text.find(" @ 40\n"), std::string::npos) << text;
  EXPECT_EQ(count_of(text, "STEP (nev):"), 0u) << text;

  const auto s = scan_run_file(file(1));
  ASSERT_TRUE(s.complete) << s.error;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> seq;  // (id, ix or nev)
  for (const auto& r : s.records) {
    if (r.id == POSREC_ID) seq.emplace_back(r.id, r.pos.ix);
    if (r.id == EVTREC_ID) seq.emplace_back(r.id, r.evt.nev);
  }
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> want{
      {POSREC_ID, 0}, {EVTREC_ID, 2}, {POSREC_ID, 1}, {EVTREC_ID, 1},
      {EVTREC_ID, 2}, {EVTREC_ID, 3}, {EVTREC_ID, 4}};
  EXPECT_EQ(seq, want);
  EXPECT_EQ(ctrl(P1_EVENT), 5);

  std::string why;
  const auto rec = run_record_read(run_record_path(base_), &why);
  ASSERT_TRUE(rec) << why;
  ASSERT_EQ(rec->positions.size(), 2u);
  EXPECT_EQ(rec->positions[0].saved, 1u);
  EXPECT_EQ(rec->positions[0].skipped, 2u);
  EXPECT_EQ(rec->positions[1].saved, 4u);
  EXPECT_EQ(rec->positions[1].skipped, 0u);
  EXPECT_EQ(rec->dropped(), 0u);
  EXPECT_EQ(rec->stepMinutes, 1u);
  EXPECT_EQ(rec->startTime, 1000);
  EXPECT_EQ(rec->endedBy, "grid done");
}

TEST_F(RunSim, TriggerThatNeverComesEndsWhenTheFlagDrops) {
  sim::simcrate_status_never_ready(true);
  SetCtrlVal(p1h, P1_NEV, 10);
  start();
  ASSERT_TRUE(wait_until(in_trigger_wait, 5s));
  std::this_thread::sleep_for(20ms);
  std::thread([] { run_state().request_stop(); }).join();
  ASSERT_TRUE(wait_until(run_idle, 5s));
  EXPECT_EQ(ctrl(P1_RUN), 0);
  EXPECT_EQ(pio_output(), 1) << "the worker sets the veto when it leaves the wait";
  for (const auto& c : sim::simcrate_cycles()) {
    EXPECT_NE(c.address, kTdcOutputBuffer) << "read-out after the flag dropped";
    EXPECT_NE(c.address, kTdcEventsStored) << "read-out after the flag dropped";
  }
  const auto s = scan_run_file(file(1));
  ASSERT_TRUE(s.complete) << s.error;
  ASSERT_EQ(s.records.size(), 3u);
  EXPECT_EQ(s.records[1].id, POSREC_ID);
  EXPECT_EQ(ctrl(P1_EVENT), 1);
}

// At thousands of triggers a second the event counter is set a few times a
// second, not per event; once the beam stops it shows the last event read.
TEST_F(RunSim, EventCounterCatchesUpWhenTheBeamStops) {
  SetCtrlVal(p1h, P1_NEV, 1000000);
  start();
  ASSERT_TRUE(wait_until([] { return ctrl(P1_EVENT) >= 2000; }, 10s));
  sim::simcrate_status_never_ready(true);
  // The status never ready, the last trigger fired reaches only the board:
  // every one before it was read out (once the event under way is done).
  auto& source = sim::shared_trigger_source();
  ASSERT_TRUE(wait_until(in_trigger_wait, 5s));
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(wait_until([&] { return ctrl(P1_EVENT) + 1 == static_cast<int>(source.generated()); }, 5s))
      << "shown " << ctrl(P1_EVENT) << ", triggers " << source.generated();
  const int shown = ctrl(P1_EVENT);
  std::thread([] { run_state().request_stop(); }).join();
  ASSERT_TRUE(wait_until(run_idle, 5s));
  sim::simcrate_status_never_ready(false);
  EXPECT_EQ(static_cast<std::uint64_t>(shown), last_run_report().saved);
}

TEST_F(RunSim, UnreadableTdcStatusStopsTheRun) {
  SetCtrlVal(p1h, P1_NX, 3);
  SetCtrlVal(p1h, P1_NEV, 10);
  sim::simcrate_fail_address(kTdcStatus, true);
  ConsoleCapture con;
  const bool ended = run_to_end(5s);
  sim::simcrate_fail_address(kTdcStatus, false);
  ASSERT_TRUE(ended) << "a bus that cannot show data-ready must not hold the worker";
  EXPECT_EQ(count_of(con.text(), "Run stopped: the TDC status cannot be read."), 1u) << con.text();
  EXPECT_EQ(ctrl(P1_RUN), 0);
  EXPECT_FALSE(run_state().active());
  EXPECT_EQ(pio_output(), 1);
  const auto s = scan_run_file(file(1));
  ASSERT_TRUE(s.complete) << s.error;
  ASSERT_EQ(s.records.size(), 3u) << "one position begun, no event, the end record";
  EXPECT_EQ(s.records[1].id, POSREC_ID);
  EXPECT_EQ(ended_by(base_), "interlock: TDC status unreadable");
}

TEST_F(RunSim, MissingGlobalTrailerBoundsTheReadout) {
  sim::simcrate_suppress_global_trailer(true);
  SetCtrlVal(p1h, P1_NEV, 3);
  ConsoleCapture con;
  ASSERT_TRUE(run_to_end(20s));
  const std::string line = "TDC read-out: 1 global trailer(s) of 1 missing after " +
                           std::to_string(kTdcMaxWordsPerReadout) + " words";
  EXPECT_EQ(count_of(con.text(), line), 3u) << con.text();
  const auto s = scan_run_file(file(1));
  ASSERT_TRUE(s.complete) << s.error;
  const auto evts = of_type(s, EVTREC_ID);
  ASSERT_EQ(evts.size(), 3u);
  // The hits before the missing trailer were still decoded.
  int kept = 0;
  for (const auto& e : evts)
    for (int i = 0; i < 32; ++i) kept += e.evt.data[i] != 0;
  EXPECT_GT(kept, 0);
  EXPECT_EQ(ctrl(P1_RUN), 0);
}

// ---- TDC word dump ------------------------------------------------------------

class CwdScope {
 public:
  explicit CwdScope(const stdfs::path& to) : old_(stdfs::current_path()) { stdfs::current_path(to); }
  ~CwdScope() { stdfs::current_path(old_); }

 private:
  stdfs::path old_;
};

TEST_F(RunSim, UnopenableTdcDumpWarnsOnceAndTheRunGoesOn) {
  stdfs::create_directories(dir_ / "TDCout.txt");  // a directory: no file can be opened there
  SetCtrlVal(p1h, P1_DBG_TDC_FILE, 1);
  SetCtrlVal(p1h, P1_NEV, 20);
  ConsoleCapture con;
  {
    CwdScope cwd(dir_);
    ASSERT_TRUE(run_to_end(20s));
  }
  EXPECT_EQ(count_of(con.text(), "Cannot open TDCout.txt"), 1u) << con.text();
  const auto s = scan_run_file(file(1));
  ASSERT_TRUE(s.complete) << s.error;
  EXPECT_EQ(of_type(s, EVTREC_ID).size(), 20u);
  EXPECT_EQ(ctrl(P1_EVENT), 21);
}

}  // namespace

// ---- interlocks --------------------------------------------------------------

namespace {
std::atomic<std::int64_t> g_free{0};
std::int64_t fake_free(const std::string&) { return g_free.load(); }

std::string ctrl_text(int control) {
  std::string t;
  GetCtrlVal(p1h, control, &t);
  return t;
}
}  // namespace

TEST_F(RunSim, DiskMarginRefusesAStartAndEndsARunCleanly) {
  daq_set_free_space_probe(fake_free);
  g_free = 50'000'000;
  {
    ConsoleCapture con;
    ASSERT_TRUE(run_to_end(10s));
    EXPECT_NE(con.text().find("Run not started: only 50.0 MB free"), std::string::npos)
        << con.text();
    EXPECT_FALSE(stdfs::exists(file(1)));
    EXPECT_EQ(ctrl(P1_RUN), 0);
    EXPECT_EQ(ctrl_text(P1_RUN_STATUS).rfind("not started", 0), 0u) << ctrl_text(P1_RUN_STATUS);
    EXPECT_EQ(sim::shared_trigger_source().generated(), 0u);
  }
  g_free = 5'000'000'000;
  SetCtrlVal(p1h, P1_NEV, 100000);
  ConsoleCapture con;
  start();
  ASSERT_TRUE(wait_until([] { return ctrl(P1_EVENT) >= 1500; }, 20s));
  EXPECT_NE(ctrl_text(P1_RUN_STATUS).find("5.0 GB free"), std::string::npos)
      << ctrl_text(P1_RUN_STATUS);
  g_free = 10'000'000;
  ASSERT_TRUE(wait_until(run_idle, 20s));
  daq_set_free_space_probe(nullptr);
  const std::string text = con.text();
  EXPECT_NE(text.find("Run stopped: only 10.0 MB free"), std::string::npos) << text;
  EXPECT_NE(text.find("Run ended early by an interlock"), std::string::npos) << text;
  EXPECT_EQ(ctrl(P1_RUN), 0);
  EXPECT_EQ(pio_output(), 1);
  EXPECT_EQ(ctrl_text(P1_RUN_STATUS).rfind("stopped by an interlock", 0), 0u);
  const auto s = scan_run_file(file(1));
  ASSERT_TRUE(s.complete) << s.error;
  // The check runs with the roll-over test, every thousandth event.
  const auto events = of_type(s, EVTREC_ID);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().evt.nev % 1000, 0u);
  EXPECT_LT(events.size(), 100000u);
  EXPECT_EQ(ended_by(base_), "interlock: free disk space");
}

TEST_F(RunSim, BoardThatStopsAnsweringEndsTheRun) {
  auto& es = easiroc_settings();
  const int savedTimeout = es.recvTimeoutMs;
  es.recvTimeoutMs = 100;
  daq_set_max_board_failures(5);
  SetCtrlVal(p1h, P1_NEV, 1000000);
  ConsoleCapture con;
  start();
  ASSERT_TRUE(wait_until([] { return ctrl(P1_EVENT) >= 50; }, 10s));
  // The link stays up; the board just sends nothing any more.
  stand_board().setFrameSource([](std::chrono::milliseconds t) -> std::optional<sim::TriggerRecord> {
    std::this_thread::sleep_for(std::min(t, std::chrono::milliseconds(10)));
    return std::nullopt;
  });
  const bool ended =
      wait_until(run_idle, 15s);
  es.recvTimeoutMs = savedTimeout;
  daq_set_max_board_failures(kDefaultMaxBoardFailures);
  ASSERT_TRUE(ended) << "the run went on without the board";
  const std::string text = con.text();
  EXPECT_NE(text.find("Run stopped: the board gave no event 5 times in a row"), std::string::npos)
      << text;
  // Said once, counted every time.
  EXPECT_EQ(count_of(text, "Board event read failed"), 1u) << text;
  EXPECT_NE(text.find("Board: 5 event read(s) failed (5 time-out(s)"), std::string::npos) << text;
  EXPECT_NE(ctrl_text(P1_RUN_STATUS).find("5 board read failure(s)"), std::string::npos)
      << ctrl_text(P1_RUN_STATUS);
  EXPECT_EQ(ctrl(P1_RUN), 0);
  EXPECT_EQ(pio_output(), 1);
  const auto s = scan_run_file(file(1));
  EXPECT_TRUE(s.complete) << s.error;
  EXPECT_EQ(ended_by(base_), "interlock: board read failures");
}

// After an operator stop the veto is off and a trigger reaches the board
// while no run is taking data; the next run must not pair that board event
// with its own first TDC event.
TEST_F(RunSim, IdleTriggerBeforeARunIsNotPairedWithItsEvents) {
  SetCtrlVal(p1h, P1_NEV, 1000000);
  start();
  ASSERT_TRUE(wait_until([] { return ctrl(P1_EVENT) >= 20; }, 10s));
  stop_within(10s);
  ASSERT_EQ(pio_output(), 0);
  // The board emulator takes the idle trigger as soon as the veto is off
  // (and the frame of the run's last, unread cycle is still on its way).
  std::this_thread::sleep_for(300ms);
  const std::size_t first = recorded().size();

  SetCtrlVal(p1h, P1_NEV, 50);
  SetCtrlVal(p1h, P1_OVERWRITE, 1);
  ConsoleCapture con;
  ASSERT_TRUE(run_to_end(20s));
  EXPECT_NE(con.text().find("board event(s) from before the run discarded."),
            std::string::npos)
      << con.text();
  const auto s = scan_run_file(file(1));
  ASSERT_TRUE(s.complete) << s.error;
  const auto events = of_type(s, EVTREC_ID);
  ASSERT_EQ(events.size(), 50u);
  const auto gen = recorded();
  ASSERT_GE(gen.size(), first + 50);
  for (std::size_t k = 0; k < 50; ++k)
    for (int i = 0; i < 32; ++i)
      ASSERT_EQ(events[k].evt.data[32 + i], gen[first + k].adc[i][0])
          << "event " << k + 1 << " ADC channel " << i;
}

// ---- the run's file series on disk -------------------------------------------

namespace {
std::vector<char> bytes_of(const stdfs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
std::string status_line() {
  std::string s;
  GetCtrlVal(p1h, P1_RUN_STATUS, &s);
  return s;
}
}  // namespace

TEST_F(RunSim, ASecondRunWithTheSameNameLeavesTheFirstAlone) {
  ASSERT_TRUE(run_to_end(10s));
  const auto first = bytes_of(file(1));
  ASSERT_EQ(first.size(), 56u + 36u + 10u * 140u + 12u);
  const auto triggers = sim::shared_trigger_source().generated();

  SetCtrlVal(p1h, P1_NEV, 3);
  ConsoleCapture con;
  ASSERT_TRUE(run_to_end(10s));
  EXPECT_EQ(bytes_of(file(1)), first);
  EXPECT_EQ(count_of(con.text(), "exists"), 1u) << con.text();
  EXPECT_NE(con.text().find("Run not started: " + file(1) + " exists -- tick \"Overwrite existing run\""),
            std::string::npos)
      << con.text();
  EXPECT_EQ(con.text().find("run file: "), std::string::npos);
  EXPECT_EQ(status_line().rfind("not started: ", 0), 0u) << status_line();
  EXPECT_NE(status_line().find(file(1) + " exists"), std::string::npos) << status_line();
  EXPECT_EQ(sim::shared_trigger_source().generated(), triggers) << "the veto stayed on";
  EXPECT_EQ(pio_output(), 1);
  EXPECT_EQ(ctrl(P1_RUN), 0);
}

TEST_F(RunSim, OverwriteReplacesTheWholeOldSeries) {
  // An old run of three files and its record.
  {
    RunFileWriter w;
    ASSERT_TRUE(w.open(base_, 1));
    ASSERT_TRUE(w.write(RUNREC{}));
    for (int f = 0; f < 2; ++f) {
      ASSERT_TRUE(w.write(EVTREC{}));
      ASSERT_TRUE(w.rollover_if_needed(1));
    }
    ASSERT_TRUE(w.close(1));
    ASSERT_EQ(w.files().size(), 3u);
  }
  std::ofstream(base_ + "_run.json") << "{}";
  const std::string unrelated = base_ + "_notes.txt";
  std::ofstream(unrelated) << "keep";

  SetCtrlVal(p1h, P1_OVERWRITE, 1);
  ConsoleCapture con;
  ASSERT_TRUE(run_to_end(10s));
  EXPECT_NE(con.text().find("Overwrite existing run: 4 old file(s) removed"), std::string::npos)
      << con.text();
  EXPECT_FALSE(stdfs::exists(file(2)));
  EXPECT_FALSE(stdfs::exists(file(3)));
  const auto record = bytes_of(base_ + "_run.json");
  EXPECT_NE(std::string(record.begin(), record.end()), "{}") << "the old run's record survived";
  EXPECT_TRUE(stdfs::exists(unrelated));
  const auto s = scan_run_file(file(1));
  ASSERT_TRUE(s.complete);
  EXPECT_EQ(of_type(s, EVTREC_ID).size(), 10u);
  EXPECT_EQ(s.records.front().run.nev, 10u);
}

TEST_F(RunSim, RollOverOntoAFileThatAppearedEndsTheRunCleanly) {
  // The limit is passed at event 2000 of the third position (as in the
  // roll-over test above); the later file turns up while the run goes on.
  SetCtrlVal(p1h, P1_NX, 3);
  SetCtrlVal(p1h, P1_NEV, 3000);
  SetCtrlVal(p1h, P1_FMAX, 1);
  ConsoleCapture con;
  start();
  ASSERT_TRUE(wait_until([] { return ctrl(P1_EVENT) >= 5; }, 10s));
  ASSERT_TRUE(stdfs::exists(file(1)));
  std::ofstream(file(2)) << "someone else's";
  ASSERT_TRUE(wait_until(run_idle, 60s));
  const std::string text = con.text();
  EXPECT_NE(text.find(file(2) + " exists -- not overwritten"), std::string::npos) << text;
  EXPECT_NE(text.find("Run ended early"), std::string::npos) << text;
  EXPECT_EQ(bytes_of(file(2)).size(), 14u);
  EXPECT_EQ(pio_output(), 1);
  EXPECT_EQ(ctrl(P1_RUN), 0);
  const auto s = scan_run_file(file(1));
  ASSERT_TRUE(s.error.empty()) << s.error;
  EXPECT_TRUE(s.complete);
  EXPECT_EQ(of_type(s, EVTREC_ID).size(), 3000u + 3000u + 2000u);
}

TEST_F(RunSim, RunNumbersAreTheNextFreeInTheFolder) {
  auto touch = [&](const char* n) { std::ofstream(dir_ / n) << "x"; };
  touch("run_00001_file01.dat");
  touch("run_00003_file01.dat");  // 00002 is gone: not given again
  touch("run_00050.txt");
  touch("other_00090_file01.dat");
  SetCtrlVal(p1h, P1_FILE, (dir_ / "run_{run}").c_str());
  ConsoleCapture con;
  ASSERT_TRUE(run_to_end(10s));
  const std::string made = (dir_ / "run_00004_file01.dat").string();
  EXPECT_TRUE(scan_run_file(made).complete);
  EXPECT_NE(con.text().find("Run number 00004: files " + (dir_ / "run_00004").string()),
            std::string::npos)
      << con.text();
  EXPECT_NE(con.text().find("Run ended: 1 position(s), 10 event(s) saved. Run number 00004.\n"),
            std::string::npos)
      << con.text();
  EXPECT_NE(con.text().find("run file: " + made + "\n"), std::string::npos);
  std::string shown;
  GetCtrlVal(p1h, P1_RUN_NUMBER, &shown);
  EXPECT_EQ(shown, "00004");

  ASSERT_TRUE(run_to_end(10s));
  EXPECT_TRUE(stdfs::exists(dir_ / "run_00005_file01.dat"));
  GetCtrlVal(p1h, P1_RUN_NUMBER, &shown);
  EXPECT_EQ(shown, "00005");

  // Without the placeholder the name is used as it is, and no number is shown.
  con.clear();
  SetCtrlVal(p1h, P1_FILE, base_.c_str());
  ASSERT_TRUE(run_to_end(10s));
  EXPECT_TRUE(stdfs::exists(file(1)));
  EXPECT_EQ(con.text().find("Run number"), std::string::npos) << con.text();
  GetCtrlVal(p1h, P1_RUN_NUMBER, &shown);
  EXPECT_EQ(shown, "");
}

// The board's connection has one reader: while the panel's read-out goes on
// a run is refused, and after it a run takes its events as usual.
TEST_F(RunSim, RunRefusedWhileTheBoardReadOutRuns) {
  const std::string readout = (dir_ / "readout.dat").string();
  SetCtrlVal(p1h, P1_FILE, readout.c_str());
  SetCtrlVal(p1h, P1_NEV, 0);  // until stopped
  ConsoleCapture con;
  board_on_daq(P1_ER_DAQ);
  ASSERT_TRUE(board_readout_active());
  start();
  EXPECT_NE(con.text().find("Run not started: the board read-out is running"), std::string::npos)
      << con.text();
  EXPECT_FALSE(run_state().active());
  EXPECT_EQ(ctrl(P1_RUN), 0);
  board_request_stop();
  ASSERT_TRUE(board_wait_readout(10000));
  EXPECT_FALSE(stdfs::exists(file(1))) << "the refused run wrote a file";

  SetCtrlVal(p1h, P1_FILE, base_.c_str());
  SetCtrlVal(p1h, P1_NEV, 20);
  ASSERT_TRUE(run_to_end(20s));
  const auto s = scan_run_file(file(1));
  ASSERT_TRUE(s.complete) << s.error;
  EXPECT_EQ(s.records.size(), 1u + 1u + 20u + 1u);
}
