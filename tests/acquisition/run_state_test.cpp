#include "run_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(RunStateTest, OneRunAtATimeAndEachEndLeavesItsPhase) {
  RunState s;
  EXPECT_EQ(s.phase(), RunPhase::Idle);
  EXPECT_FALSE(s.request_stop()) << "nothing to stop";
  ASSERT_TRUE(s.request_start());
  EXPECT_FALSE(s.request_start()) << "a second start while one is active";
  EXPECT_TRUE(s.active());
  EXPECT_TRUE(s.keep_going());
  s.started();
  EXPECT_EQ(s.phase(), RunPhase::Running);
  ASSERT_TRUE(s.request_stop());
  EXPECT_EQ(s.phase(), RunPhase::Ending);
  EXPECT_TRUE(s.active()) << "the worker still holds the devices while it ends";
  EXPECT_FALSE(s.keep_going());
  EXPECT_FALSE(s.request_start()) << "no start while the last run closes its file";
  s.finished(RunEnd::OperatorStop, "");
  EXPECT_EQ(s.phase(), RunPhase::Idle);

  ASSERT_TRUE(s.request_start());
  s.finished(RunEnd::NotStarted, "too little free disk space");
  EXPECT_EQ(s.phase(), RunPhase::Refused);
  EXPECT_EQ(s.reason(), "too little free disk space");
  EXPECT_FALSE(s.active());

  ASSERT_TRUE(s.request_start()) << "a refused run can be retried";
  EXPECT_EQ(s.reason(), "") << "the old refusal is not the new run's";
  s.started();
  s.finished(RunEnd::Interlock, "the board is not vetoed");
  EXPECT_EQ(s.phase(), RunPhase::Failed);
  EXPECT_EQ(s.reason(), "the board is not vetoed");
  ASSERT_TRUE(s.request_start());
  s.started();
  s.finished(RunEnd::GridDone, "ignored");
  EXPECT_EQ(s.phase(), RunPhase::Idle);
  EXPECT_EQ(s.reason(), "");
}

TEST(RunStateTest, AStopDuringTheStartIsNotLost) {
  RunState s;
  ASSERT_TRUE(s.request_start());
  ASSERT_TRUE(s.request_stop());
  s.started();  // the worker's start finishes after the operator's stop
  EXPECT_EQ(s.phase(), RunPhase::Ending);
  EXPECT_FALSE(s.keep_going());
}

TEST(RunStateTest, ConcurrentStartsLetExactlyOneRunIn) {
  for (int round = 0; round < 200; ++round) {
    RunState s;
    std::atomic<int> won{0};
    std::vector<std::thread> t;
    for (int i = 0; i < 4; ++i) t.emplace_back([&] { won += s.request_start() ? 1 : 0; });
    for (auto& th : t) th.join();
    ASSERT_EQ(won.load(), 1) << "round " << round;
  }
}

}  // namespace
