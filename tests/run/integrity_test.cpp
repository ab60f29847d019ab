// Every saved event's TDC and ADC halves come from one trigger, whatever the
// stand does: tagged triggers carry their number in both halves, so a run
// file shows any event whose halves belong to different triggers.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "backend.h"
#include "board_emulator.h"
#include "camac.h"
#include "live_histograms.h"
#include "daq_run.h"
#include "run_config.h"
#include "run_control.h"
#include "stand_helpers.h"
#include "run_state.h"
#include "board_link.h"

using namespace mdq::test;

namespace {

[[maybe_unused]] const auto* const g_env = ::testing::AddGlobalTestEnvironment(new StandEnvironment);

// What a run file says about pairing.
struct Pairs {
  std::size_t events = 0, tagged = 0, mispaired = 0, zeroAdc = 0;
  std::string firstBad;  // what the first mispaired records hold
};

Pairs check_pairs(const RunFileScan& s) {
  Pairs p;
  for (const auto& r : s.records) {
    if (r.id != EVTREC_ID) continue;
    ++p.events;
    const std::uint16_t tdcTag = r.evt.data[sim::kTagChannel];
    const std::uint16_t adcTag = r.evt.data[32 + sim::kTagChannel];
    bool adcZero = true;
    for (int i = 32; i < 64; ++i) adcZero = adcZero && r.evt.data[i] == 0;
    if (adcZero) {
      ++p.zeroAdc;  // no board half at all: never a wrong one
      continue;
    }
    ++p.tagged;
    if ((tdcTag & 0xFFF) != adcTag && ++p.mispaired <= 5)
      p.firstBad += " nev " + std::to_string(r.evt.nev) + ": tdc " + std::to_string(tdcTag & 0xFFF) +
                    " adc " + std::to_string(adcTag) + ";";
  }
  return p;
}

// Loads the other core for the length of a test.
class CpuLoad {
 public:
  CpuLoad() : t_([this] {
    volatile std::uint64_t x = 0;
    while (!stop_.load(std::memory_order_relaxed)) x = x + 1;
  }) {}
  ~CpuLoad() {
    stop_ = true;
    t_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread t_;
};

class Integrity : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fresh_test_dir("mdq_pair_");
    base_ = (dir_ / "run").string();
    run_state().reset();
    ntics = 0;
    EXPECT_EQ(PIO_write(1), 0);
    auto& source = sim::shared_trigger_source();
    source.reset();
    source.setRate(0);
    source.setTagged(true);
    stand_board().setFrameSource(sim::shared_trigger_frames());
    stand_board().faults().hugeFrames = 0;
    reconnect_board(stand_board());
    reset_run_settings(base_);
    SetCtrlVal(p1h, P1_READ_BOARD, 1);
    SetCtrlVal(p1h, P1_LATE_SKIP, 1);
  }
  void TearDown() override {
    if (run_worker_id() != 0) stop_run_within(10s);
    sim::simcrate_extra_trigger_every(0);
    sim::simcrate_fail_address(PIO_OUTPUT, false);
    sim::simcrate_fail_address(V1290_EVENT_STORED, false);
    sim::shared_trigger_source().setTagged(false);
    easiroc_settings().recvTimeoutMs = 1000;
    stdfs::remove_all(dir_);
  }


  // A long run in which the crate register at `address` fails from the
  // 50th event on; the run must end by itself within 5 s.
  void run_until_failing(std::uint32_t address) {
    SetCtrlVal(p1h, P1_NEV, 1000000);
    start_run();
    ASSERT_TRUE(wait_until([] { return ctrl(P1_EVENT) >= 50; }, 10s));
    sim::simcrate_fail_address(address, true);
    EXPECT_TRUE(wait_until(run_idle, 5s));
    sim::simcrate_fail_address(address, false);
  }

  // A tagged run of `nev` events at one position; the file must be whole.
  Pairs tagged_run(std::uint32_t nev, std::chrono::seconds limit) {
    SetCtrlVal(p1h, P1_NEV, static_cast<int>(nev));
    EXPECT_TRUE(run_to_end(limit)) << "the run did not end in " << limit.count() << " s";
    const auto s = scan_run_file(run_file_name(base_, 1));
    EXPECT_TRUE(s.complete) << s.error;
    return check_pairs(s);
  }

  stdfs::path dir_;
  std::string base_;
};

// ---- pairing under every trigger pattern -------------------------------------

TEST_F(Integrity, UnthrottledTaggedRunPairsEveryEvent) {
  ConsoleCapture con;
  const Pairs p = tagged_run(10000, 60s);
  EXPECT_EQ(p.events, 10000u);
  EXPECT_EQ(p.tagged, 10000u);
  EXPECT_EQ(p.mispaired, 0u) << p.firstBad;
  const RunReport& r = last_run_report();
  EXPECT_EQ(r.pairing.checked, 10000u);
  EXPECT_EQ(r.pairing.mismatches, 0u);
  EXPECT_NE(con.text().find("Pairing: 10000 event(s) checked, 0 frame(s) dropped, 0 mismatch(es)"),
            std::string::npos)
      << con.text();
}

// A second trigger between data-ready and the veto: the TDC holds two
// events and the board sent two frames. Reading one frame would shift every
// later event onto the previous trigger's frame.
TEST_F(Integrity, SecondTriggerBeforeTheVetoIsAMultiTriggerReadOut) {
  sim::simcrate_extra_trigger_every(7);
  const Pairs p = tagged_run(10000, 60s);
  EXPECT_EQ(p.events, 10000u);
  EXPECT_EQ(p.mispaired, 0u) << p.firstBad;
  const RunReport& r = last_run_report();
  EXPECT_GE(r.pairing.multiTrigger, 10000u / 7 - 2);
  EXPECT_EQ(r.pairing.framesDropped, r.pairing.multiTrigger);
  EXPECT_EQ(r.pairing.mismatches, 0u);
}

// Throttled triggers with the other core busy: the board's thread and the
// run's are scheduled late, frames arrive late, and still pair.
TEST_F(Integrity, ThrottledTaggedRunWithTheOtherCoreLoaded) {
  sim::shared_trigger_source().setRate(3000);
  sim::simcrate_extra_trigger_every(50);
  CpuLoad load;
  const Pairs p = tagged_run(10000, 120s);
  EXPECT_EQ(p.events, 10000u);
  EXPECT_EQ(p.mispaired, 0u) << p.firstBad;
  EXPECT_EQ(last_run_report().pairing.mismatches, 0u);
}

// Late triggers are skipped; their frames must go with them.
TEST_F(Integrity, LateTriggersDropTheirFrames) {
  sim::shared_trigger_source().setRate(2000);
  std::atomic<bool> stop{false};
  // Timer ticks in bursts: triggers waited on during a burst are late.
  std::thread ticker([&] {
    for (int i = 0; !stop.load(); ++i) {
      if ((i / 20) % 2 == 0) ntics += 2;
      std::this_thread::sleep_for(200us);
    }
  });
  const Pairs p = tagged_run(4000, 60s);
  stop = true;
  ticker.join();
  const RunReport& r = last_run_report();
  EXPECT_GT(r.pairing.lateSkipped, 0u);
  EXPECT_GE(r.pairing.framesDropped, r.pairing.lateSkipped);
  EXPECT_EQ(p.events + r.pairing.lateSkipped, 4000u);
  EXPECT_GT(p.events, 0u);
  EXPECT_EQ(p.mispaired, 0u) << p.firstBad;
}

// Triggers slower than the two-tick rule: with the skip off every one is
// read and saved (a cosmic-ray stand).
TEST_F(Integrity, SlowTriggersAreRecordedWithTheLateSkipOff) {
  sim::shared_trigger_source().setRate(0.5);
  SetCtrlVal(p1h, P1_LATE_SKIP, 0);
  std::atomic<bool> stop{false};
  std::thread timer([&] {  // the panel's timer
    while (!stop.load()) {
      ++ntics;
      std::this_thread::sleep_for(100ms);
    }
  });
  const Pairs p = tagged_run(3, 30s);
  stop = true;
  timer.join();
  EXPECT_EQ(p.events, 3u);
  EXPECT_EQ(p.mispaired, 0u) << p.firstBad;
  EXPECT_EQ(last_run_report().pairing.lateSkipped, 0u);
}

// ---- failures never store another event's data --------------------------------------

TEST_F(Integrity, OversizedFrameGivesZerosNotTheLastEventsValues) {
  ConsoleCapture con;
  // Long enough to be under way when the counter (set every 20 ms) shows 100.
  SetCtrlVal(p1h, P1_NEV, 3000);
  start_run();
  ASSERT_TRUE(wait_until([] { return ctrl(P1_EVENT) >= 100; }, 10s));
  stand_board().faults().hugeFrames = 3;
  ASSERT_TRUE(wait_until(run_idle, 30s));
  const auto s = scan_run_file(run_file_name(base_, 1));
  ASSERT_TRUE(s.complete) << s.error;
  const Pairs p = check_pairs(s);
  EXPECT_EQ(p.events, 3000u);
  EXPECT_EQ(p.zeroAdc, 3u);
  EXPECT_EQ(p.mispaired, 0u) << p.firstBad;
  const RunReport& r = last_run_report();
  EXPECT_EQ(r.board.oversized, 3u);
  // Said once, with the size; counted in the summary.
  EXPECT_EQ(count_of(con.text(), "does not fit the 100-word event buffer"), 1u) << con.text();
  EXPECT_NE(con.text().find("Board: 3 event read(s) failed (0 time-out(s), 0 bad frame(s), 3 "
                            "oversized)"),
            std::string::npos)
      << con.text();
}

TEST_F(Integrity, FailingVetoWriteEndsTheRunCleanly) {
  ConsoleCapture con;
  ASSERT_NO_FATAL_FAILURE(run_until_failing(PIO_OUTPUT));
  EXPECT_NE(con.text().find("Run stopped: the veto cannot be"), std::string::npos) << con.text();
  EXPECT_EQ(ctrl(P1_RUN), 0);
  EXPECT_TRUE(scan_run_file(run_file_name(base_, 1)).complete);
}

TEST_F(Integrity, FailingEventsStoredReadEndsTheRunInsteadOfSavingEmptyEvents) {
  ConsoleCapture con;
  ASSERT_NO_FATAL_FAILURE(run_until_failing(V1290_EVENT_STORED));
  EXPECT_NE(con.text().find("Run stopped: the TDC's events-stored register cannot be read"),
            std::string::npos)
      << con.text();
  const auto s = scan_run_file(run_file_name(base_, 1));
  ASSERT_TRUE(s.complete);
  for (const auto& r : s.records) {
    if (r.id == EVTREC_ID) {
      ASSERT_NE(r.evt.data[sim::kTagChannel], 0) << "an empty TDC half saved";
    }
  }
}

// ---- run start ----------------------------------------------------------------------

// A board that triggers itself keeps sending behind the veto: the run start
// names it and gives up within its bound instead of discarding forever.
TEST_F(Integrity, SelfTriggeringBoardIsNamedAndTheRunEndsWithinTheBound) {
  for (double rate : {100.0, 1000.0}) {
    SCOPED_TRACE(rate);
    stand_board().setFrameSource(sim::free_running_source(rate));
    reconnect_board(stand_board());
    ConsoleCapture con;
    const auto t0 = Clock::now();
    ASSERT_TRUE(run_to_end(5s)) << "the run start hung";
    EXPECT_LT(Clock::now() - t0, 2500ms);
    EXPECT_NE(con.text().find("Run not started: the board sends events while the veto is on: its "
                              "trigger is not vetoed, so TDC and board events cannot be paired"),
              std::string::npos)
        << con.text();
    EXPECT_EQ(ctrl(P1_RUN), 0);
    EXPECT_FALSE(stdfs::exists(run_file_name(base_, 1)));
  }
}

TEST_F(Integrity, RunOffDuringTheStartDiscardReturnsAtOnce) {
  stand_board().setFrameSource(sim::free_running_source(1000));
  reconnect_board(stand_board());
  start_run();
  std::this_thread::sleep_for(200ms);
  const auto took = stop_run_within(5s);
  EXPECT_LT(took, 700ms);
  EXPECT_FALSE(run_state().active());
  EXPECT_FALSE(stdfs::exists(run_file_name(base_, 1)));
}

TEST_F(Integrity, TdcOnlyRunNeverTouchesTheBoard) {
  easiroc_Close();
  SetCtrlVal(p1h, P1_READ_BOARD, 0);
  ConsoleCapture con;
  const int starts = stand_board().record().starts;
  const Pairs p = tagged_run(500, 30s);
  EXPECT_EQ(p.events, 500u);
  EXPECT_EQ(p.zeroAdc, 500u);
  EXPECT_EQ(stand_board().record().starts, starts);
  EXPECT_EQ(con.text().find("Board event read failed"), std::string::npos) << con.text();
  EXPECT_NE(con.text().find("Pairing: not checked"), std::string::npos);
  reconnect_board(stand_board());
}

TEST_F(Integrity, NoBoardLinkRefusesARunThatReadsTheBoard) {
  easiroc_Close();
  ConsoleCapture con;
  ASSERT_TRUE(run_to_end(5s));
  EXPECT_NE(con.text().find("Run not started: no board connection"), std::string::npos)
      << con.text();
  EXPECT_FALSE(stdfs::exists(run_file_name(base_, 1)));
  // A board that closed the link is told apart from no link at all.
  reconnect_board(stand_board());
  stand_board().stop();
  ASSERT_TRUE(stand_board().start());
  board_link().tcpPort = stand_board().port();
  con.clear();
  ASSERT_TRUE(run_to_end(5s));
  EXPECT_NE(con.text().find("Run not started: the board closed the connection"),
            std::string::npos)
      << con.text();
  reconnect_board(stand_board());
}

}  // namespace
