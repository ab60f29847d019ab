// Helpers shared by the tests that drive a whole run on the simulated stand.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "backend.h"
#include "board_emulator.h"
#include "dispatch.h"
#include "easiroc.h"
#include "mdq_main.h"
#include "mdq_ui.h"
#include "platform.h"
#include "run_control.h"
#include "runfile.h"
#include "sim_crate.h"
#include "stand.h"
#include "station_on_stand.h"
#include "trigger_source.h"
#include "v1290.h"
#include "wienvme_dll.h"

namespace mdq::test {

namespace sim = mdq::sim;
namespace stdfs = std::filesystem;
using mdq::platform::ConsoleCapture;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The register the run loop polls for data ready.
constexpr std::uint32_t kTdcStatus = V1290_STATUS;

inline bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline std::size_t count_of(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

inline int ctrl(int control) {
  int v = 0;
  GetCtrlVal(p1h, control, &v);
  return v;
}

inline std::uint16_t pio_output() { return mdq::sim::simcrate_state().pioOutput; }

// The worker is inside its trigger wait: the veto is released and the
// newest bus cycle is a status poll.
inline bool in_trigger_wait() {
  if (pio_output() != 0) return false;
  auto cycles = mdq::sim::simcrate_cycles();
  return !cycles.empty() && !cycles.back().write && cycles.back().address == kTdcStatus;
}

inline std::vector<RunFileRecord> of_type(const RunFileScan& s, std::uint32_t id) {
  std::vector<RunFileRecord> out;
  for (const auto& r : s.records)
    if (r.id == id) out.push_back(r);
  return out;
}

// The stand as `mdq --simulate` brings it up, once per process: the
// simulated driver loaded by crate start-up, the board emulator fed by
// `frames` (empty: the shared trigger source) on an ephemeral 127.0.0.1
// port, the board connected and initialised. Handshake pauses are left to
// the caller's delay hook.
inline mdq::sim::Stand& stand() {
  static mdq::sim::Stand s;
  return s;
}
inline mdq::sim::BoardEmulator& stand_board() { return *stand().board(); }

inline void stand_up(mdq::sim::AdcFrameSource frames = {}) {
  p1h = 1;
  SetCtrlVal(p1h, P1_TDC_EDGE, 3);  // both edges: trailing words reach the decoder
  SetCtrlVal(p1h, P1_TDC_WINDOW_WIDTH, 0x14);
  SetCtrlVal(p1h, P1_TDC_WINDOW_OFFSET, 0xFFD8);
  SetCtrlVal(p1h, P1_TDC_EXTRA_MARGIN, 8);
  ASSERT_EQ(CmtNewThreadPool(10, &poolHandle), 0);
  mdq::sim::StandOptions options;
  options.triggerRateHz = 0;
  options.frames = std::move(frames);
  const std::string failed = stand().start(options);
  ASSERT_EQ(failed, "");
  EasirocSettings link = easiroc_settings();
  link.ackPauseUs = 0;
  link.streamBytePauseUs = 0;
  link.startPauseUs = 100;
  link.recvTimeoutMs = 1000;
  const std::string notUp = mdq::standup::station_onto_stand(stand(), link);
  ASSERT_EQ(mdq::sim::simcrate_state().openSessions, 2);
  ASSERT_EQ(notUp, "");
}

inline void stand_down() {
  mdq::standup::station_off_stand();
  stand().stop();
  CmtDiscardThreadPool(poolHandle);
}

// The stand for every test of a process, handshake pauses skipped.
class StandEnvironment : public ::testing::Environment {
 public:
  explicit StandEnvironment(mdq::sim::AdcFrameSource frames = {}) : frames_(std::move(frames)) {}
  void SetUp() override {
    mdq::platform::reset_for_tests();
    mdq::platform::set_delay_hook([](double) {});
    stand_up(frames_);
  }
  void TearDown() override { stand_down(); }

 private:
  mdq::sim::AdcFrameSource frames_;
};

// A fresh, empty folder for the current test's files, named for the process
// and the test so parallel runs never share one.
inline stdfs::path fresh_test_dir(const std::string& prefix) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const auto dir =
      stdfs::temp_directory_path() / (prefix + std::to_string(::getpid()) + "_" + info->name());
  stdfs::remove_all(dir);
  stdfs::create_directories(dir);
  return stdfs::canonical(dir);
}

using mdq::standup::reset_run_settings;

// The operator switches RUN on.
inline void start_run() {
  SetCtrlVal(p1h, P1_RUN, 1);
  run_toggle(P1_RUN);
}

// No run worker left in the pool.
inline bool run_idle() { return CmtRunningThreadPoolFunctions(poolHandle) == 0; }

// A run that ends by itself: started with the toggle, waited for until the
// pool has no running function.
inline bool run_to_end(std::chrono::milliseconds timeout) {
  start_run();
  return wait_until(run_idle, timeout);
}

// The operator's stop, bounded: a stop path that hangs ends the process
// with a failure instead of holding up the whole suite.
inline std::chrono::milliseconds stop_run_within(std::chrono::seconds limit) {
  const auto t0 = std::chrono::steady_clock::now();
  auto done = std::async(std::launch::async, [] {
    SetCtrlVal(p1h, P1_RUN, 0);
    run_toggle(P1_RUN);
  });
  if (done.wait_for(limit) != std::future_status::ready) {
    ADD_FAILURE() << "run_toggle(off) did not return within " << limit.count() << " s";
    std::fflush(nullptr);
    std::_Exit(1);
  }
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               t0);
}

// A fresh board connection. Once the emulator has taken it, it has dropped
// the old one, so no frame of an earlier trigger can reach this test.
inline void reconnect_board(mdq::sim::BoardEmulator& board) {
  const int connections = board.record().connections;
  ASSERT_EQ(easiroc_Connect("127.0.0.1"), 0);
  ASSERT_TRUE(board.waitFor(
      [&](const mdq::sim::BoardRecord& r) { return r.connections > connections; },
      std::chrono::seconds(2)));
}

// Writes past `bytes` fail with EFBIG instead of killing the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit r = old_;
    r.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &r) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, oldHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool ok() const { return ok_; }

 private:
  rlimit old_{};
  sighandler_t oldHandler_ = SIG_DFL;
  bool ok_ = false;
};

}  // namespace mdq::test
