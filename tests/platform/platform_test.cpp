#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "backend.h"
#include "platform.h"
#include "live_histograms.h"

using namespace std::chrono_literals;

class Platform : public ::testing::Test {
 protected:
  void SetUp() override { mdq::platform::reset_for_tests(); }
};

TEST_F(Platform, ControlValuesAreClampedAndTextIsBounded) {
  SetCtrlVal(1, 5, 40);
  SetCtrlAttribute(1, 5, ATTR_MAX_VALUE, 31);
  int v = 0;
  GetCtrlVal(1, 5, &v);
  EXPECT_EQ(v, 31);
  SetCtrlVal(1, 5, 99);
  GetCtrlVal(1, 5, &v);
  EXPECT_EQ(v, 31);

  SetCtrlVal(1, 6, "a_rather_long_base_name");
  char small[8];
  EXPECT_EQ(GetCtrlVal(1, 6, small, sizeof small), 0);
  EXPECT_STREQ(small, "a_rathe");

  SetCtrlVal(1, 7, 0.25);
  float f = 0;
  GetCtrlVal(1, 7, &f);
  EXPECT_FLOAT_EQ(f, 0.25f);
  // Unknown controls report failure and leave a defined value.
  int u = 123;
  EXPECT_LT(GetCtrlVal(1, 999, &u), 0);
  EXPECT_EQ(u, 0);
}

TEST_F(Platform, EventsComeInOrderAndCompletionIsTracked) {
  std::uint64_t a = PostControlEvent(1, 10);
  QueueUserEvent(9000, 1, 11);
  int panel = 0, control = 0;
  EXPECT_EQ(GetUserEvent(1, &panel, &control), EVENT_COMMIT);
  EXPECT_EQ(control, 10);
  EXPECT_LT(EventsCompleted(), a);  // handler of the first still "running"
  EXPECT_EQ(GetUserEvent(1, &panel, &control), 9000);
  EXPECT_EQ(control, 11);
  EXPECT_GE(EventsCompleted(), a);
  EXPECT_EQ(GetUserEvent(0, &panel, &control), 0);  // no wait, nothing queued

  // A waiting loop wakes for an event from another thread.
  std::thread t([] {
    std::this_thread::sleep_for(20ms);
    QueueUserEvent(1000, 1, 12);
  });
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(GetUserEvent(1, &panel, &control), 1000);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  t.join();
}

namespace {
std::atomic<int> g_ran{0};
std::atomic<bool> g_release{false};
int worker(void* data) {
  while (!g_release.load()) std::this_thread::sleep_for(1ms);
  ++*static_cast<int*>(data);
  g_ran.fetch_add(1);
  return 0;
}
}  // namespace

TEST_F(Platform, ThreadPoolRunsWaitsReleasesAndBounds) {
  int pool = 0;
  ASSERT_EQ(CmtNewThreadPool(1, &pool), 0);
  int data = 0, id = 0, id2 = 0;
  g_release = false;
  ASSERT_EQ(CmtScheduleThreadPoolFunction(pool, worker, &data, &id), 0);
  EXPECT_EQ(CmtRunningThreadPoolFunctions(pool), 1);
  // At most one at a time in a pool of one.
  EXPECT_LT(CmtScheduleThreadPoolFunction(pool, worker, &data, &id2), 0);
  // A running function cannot be released; a bounded wait gives up on it.
  EXPECT_LT(CmtReleaseThreadPoolFunctionID(pool, id), 0);
  const auto w0 = std::chrono::steady_clock::now();
  EXPECT_EQ(CmtWaitForThreadPoolFunctionCompletionFor(pool, id, 0, 60), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - w0, 60ms);
  EXPECT_EQ(CmtWaitForThreadPoolFunctionCompletionFor(pool, id + 100, 0, 60), -1);
  g_release = true;
  EXPECT_EQ(CmtWaitForThreadPoolFunctionCompletionFor(pool, id, 0, 5000), 0);
  EXPECT_EQ(CmtWaitForThreadPoolFunctionCompletion(pool, id, OPT_TP_PROCESS_EVENTS_WHILE_WAITING), 0);
  EXPECT_EQ(data, 1);
  EXPECT_EQ(CmtReleaseThreadPoolFunctionID(pool, id), 0);
  EXPECT_EQ(CmtRunningThreadPoolFunctions(pool), 0);
  // Many start/stop cycles leave nothing behind.
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(CmtScheduleThreadPoolFunction(pool, worker, &data, &id), 0);
    ASSERT_EQ(CmtWaitForThreadPoolFunctionCompletion(pool, id, 0), 0);
    ASSERT_EQ(CmtReleaseThreadPoolFunctionID(pool, id), 0);
  }
  EXPECT_EQ(data, 101);
  // Discard waits for a function still running.
  g_release = false;
  ASSERT_EQ(CmtScheduleThreadPoolFunction(pool, worker, &data, &id), 0);
  std::thread releaser([] {
    std::this_thread::sleep_for(20ms);
    g_release = true;
  });
  EXPECT_EQ(CmtDiscardThreadPool(pool), 0);
  EXPECT_EQ(data, 102);
  releaser.join();
}

TEST_F(Platform, UniformIsSeededAndBounded) {
  double a[50], b[50], c[50];
  Uniform(50, 12345, a);
  Uniform(50, 12345, b);
  EXPECT_TRUE(std::equal(a, a + 50, b));
  Uniform(50, -1, c);  // continues: a fresh stretch of the same sequence
  EXPECT_FALSE(std::equal(a, a + 50, c));
  double lo = 1, hi = 0, sum = 0;
  std::vector<double> many(20000);
  Uniform(20000, 7, many.data());
  for (double x : many) lo = std::min(lo, x), hi = std::max(hi, x), sum += x;
  EXPECT_GE(lo, 0.0);
  EXPECT_LE(hi, 1.0);
  EXPECT_NEAR(sum / many.size(), 0.5, 0.01);
  EXPECT_LT(Uniform(1, 0, a), 0);  // seed 0 is neither a new sequence nor "continue"
}

TEST_F(Platform, FileSelectionAnsweredByScript) {
  char path[16];
  QueueFileSelection("/tmp");
  EXPECT_EQ(FileSelectPopup("", "*.dat", ".dat", "t", 3, 0, 0, 1, 0, path, sizeof path), 1);
  EXPECT_STREQ(path, "/tmp");
  QueueFileSelection("");
  EXPECT_EQ(FileSelectPopupEx("", "*.ini", "*.ini", "t", 3, 0, 0, path, sizeof path), 0);
  mdq::platform::ConsoleCapture con;
  QueueFileSelection("/a/path/longer/than/the/buffer");
  EXPECT_EQ(FileSelectPopupEx("", "*", "*", "t", 3, 0, 0, path, sizeof path), 0);
  EXPECT_NE(con.text().find("too long"), std::string::npos);
  // No backend and nothing queued: cancelled, never blocks.
  EXPECT_EQ(FileSelectPopup("", "*", "*", "t", 3, 0, 0, 1, 0, path, sizeof path), 0);
}

// Control access and the spectra from a worker while the loop thread reads,
// clears and snapshots: meaningful under the thread sanitizer build.
TEST_F(Platform, WorkerAndLoopShareControlsAndSpectra) {
  spectra_clear();
  SetCtrlVal(1, 20, 0);
  std::atomic<bool> stop{false};
  std::thread w([&] {
    for (int i = 1; i <= 20000; ++i) {
      spectrum_add(dtdc[3][0][i % 100]);
      spectrum_add(dadc[3][1][i % 50]);
      if (i % 100 == 0) SetCtrlVal(1, 20, i);
    }
    stop = true;
  });
  std::vector<std::int32_t> snap(kTdcBins);
  int v = 0, last = 0;
  while (!stop.load()) {
    spectrum_snapshot(dtdc[3][0], snap);
    GetCtrlVal(1, 20, &v);
    EXPECT_GE(v, last);  // values are whole, never torn or going back
    last = v;
  }
  w.join();
  spectrum_snapshot(dtdc[3][0], snap);
  long total = 0;
  for (auto c : snap) total += c;
  EXPECT_EQ(total, 20000);
  GetCtrlVal(1, 20, &v);
  EXPECT_EQ(v, 20000);
  spectra_clear();
  spectrum_snapshot(dtdc[3][0], snap);
  EXPECT_EQ(*std::max_element(snap.begin(), snap.end()), 0);
}

TEST_F(Platform, AxisRangeWithoutAWindowIsRememberedPerGraph) {
  int mode = -1;
  double lo = -1, hi = -1;
  ASSERT_EQ(GetAxisScalingMode(1, 31, VAL_XAXIS, &mode, &lo, &hi), 0);
  EXPECT_EQ(mode, VAL_AUTOSCALE);
  ASSERT_EQ(SetAxisScalingMode(1, 31, VAL_XAXIS, VAL_MANUAL, 100, 250), 0);
  GetAxisScalingMode(1, 31, VAL_XAXIS, &mode, &lo, &hi);
  EXPECT_EQ(mode, VAL_MANUAL);
  EXPECT_EQ(lo, 100);
  EXPECT_EQ(hi, 250);
  GetAxisScalingMode(1, 32, VAL_XAXIS, &mode, &lo, &hi);
  EXPECT_EQ(mode, VAL_AUTOSCALE) << "another graph keeps its own range";
  EXPECT_EQ(SetAxisScalingMode(1, 31, VAL_XAXIS, VAL_MANUAL, 300, 300), -1) << "empty range refused";
  GetAxisScalingMode(1, 31, VAL_XAXIS, &mode, &lo, &hi);
  EXPECT_EQ(lo, 100);
}
