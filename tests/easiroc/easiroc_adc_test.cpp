// Event read-out against the emulator: single events, the continuous
// read-out into a file, and the faults on the way.
#include <atomic>
#include <chrono>
#include <thread>

#include "easiroc_fixture.h"

using namespace easiroc_test;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::uint8_t> frames(std::initializer_list<std::uint64_t> numbers) {
  std::vector<std::uint8_t> b;
  for (auto n : numbers) {
    auto f = frame_bytes(n);
    b.insert(b.end(), f.begin(), f.end());
  }
  return b;
}

std::vector<std::uint8_t> frames_range(std::uint64_t from, std::uint64_t to) {
  std::vector<std::uint8_t> b;
  for (auto n = from; n <= to; ++n) {
    auto f = frame_bytes(n);
    b.insert(b.end(), f.begin(), f.end());
  }
  return b;
}

}  // namespace

TEST_F(BoardTest, SingleEventsCopyDataWordsOnly) {
  connect();
  ASSERT_EQ(easiroc_singleADCstart(), 0);
  for (std::uint64_t n = 1; n <= 3; ++n) {
    std::fill(std::begin(easiroc::board().esrcdata), std::end(easiroc::board().esrcdata), 0xAAAAAAAAu);
    ASSERT_EQ(easiroc_singleADCevent(easiroc::board().esrcdata), 64);
    auto words = mdq::sim::board_frame(numbered_record(n));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(easiroc::board().esrcdata[i], words[3 + i]) << "frame " << n;
    EXPECT_EQ(easiroc::board().esrcdata[64], 0xAAAAAAAAu);
  }
  mdq::platform::ConsoleCapture cap;
  EXPECT_EQ(easiroc_singleADCstop(), 0);
  EXPECT_NE(cap.text().find("ADC exit process\n"), std::string::npos);
  EXPECT_NE(cap.text().find("\nEnd ADC\n"), std::string::npos);
  EXPECT_FALSE(board_->streaming());
  EXPECT_EQ(easiroc::board().EndADC.load(), 0);
  // The board is quiet again: a register write is answered normally.
  EXPECT_EQ(WriteData(easiroc::board().sock, 0x9400), 0);
}

TEST_F(BoardTest, SingleEventWithSplitSegments) {
  connect();
  board_->faults().splitBytes = 5;
  board_->faults().splitPauseUs = 100;
  ASSERT_EQ(easiroc_singleADCstart(), 0);
  for (std::uint64_t n = 1; n <= 5; ++n) {
    ASSERT_EQ(easiroc_singleADCevent(easiroc::board().esrcdata), 64);
    EXPECT_EQ(easiroc::board().esrcdata[63], mdq::sim::board_frame(numbered_record(n))[66]);
  }
  board_->faults().splitBytes = 0;
  (void)easiroc_singleADCstop();
}

TEST_F(BoardTest, SingleEventFrameTooBigForBufferIsNotCopied) {
  connect();
  board_->faults().hugeFrames = 1;
  std::fill(std::begin(easiroc::board().esrcdata), std::end(easiroc::board().esrcdata), 7u);
  ASSERT_EQ(easiroc_singleADCstart(), 0);
  mdq::platform::ConsoleCapture cap;
  EXPECT_EQ(easiroc_singleADCevent(easiroc::board().esrcdata), 150);
  EXPECT_NE(cap.text().find("not copied"), std::string::npos);
  for (unsigned w : easiroc::board().esrcdata) ASSERT_EQ(w, 7u);
  // The following frame is found again.
  EXPECT_EQ(easiroc_singleADCevent(easiroc::board().esrcdata), 64);
  EXPECT_EQ(easiroc::board().esrcdata[0], mdq::sim::board_frame(numbered_record(2))[3]);
  (void)easiroc_singleADCstop();
}

TEST_F(BoardTest, CorruptMagicIsReportedThenResynchronised) {
  connect();
  board_->faults().corruptMagicFrames = 1;
  ASSERT_EQ(easiroc_singleADCstart(), 0);
  mdq::platform::ConsoleCapture cap;
  EXPECT_EQ(easiroc_singleADCevent(easiroc::board().esrcdata), -2);
  EXPECT_NE(cap.text().find("Fatal ADC ERROR : HEADER\nHeader1 : 0xffffea0d | Header2 : 0x40 | "
                            "Header3 : 0x1\n"),
            std::string::npos)
      << cap.text();
  EXPECT_EQ(easiroc_singleADCevent(easiroc::board().esrcdata), 64);
  EXPECT_EQ(easiroc::board().esrcdata[1], mdq::sim::board_frame(numbered_record(2))[4]);
  (void)easiroc_singleADCstop();
}

TEST_F(BoardTest, NoFrameIsAHeaderErrorWithinTheTimeout) {
  connect();
  mdq::platform::ConsoleCapture cap;
  auto t0 = Clock::now();
  EXPECT_EQ(easiroc_singleADCevent(easiroc::board().esrcdata), -2);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
  EXPECT_NE(cap.text().find("Header1 : 0x1 | Header2 : 0x1 | Header3 : 0x1\n"), std::string::npos);
}

TEST_F(BoardTest, DisconnectMidFrameIsAnErrorNotGarbage) {
  connect();
  ASSERT_EQ(easiroc_singleADCstart(), 0);
  ASSERT_EQ(easiroc_singleADCevent(easiroc::board().esrcdata), 64);
  board_->faults().closeMidFrame = true;
  std::fill(std::begin(easiroc::board().esrcdata), std::end(easiroc::board().esrcdata), 9u);
  mdq::platform::ConsoleCapture cap;
  int r = 0;
  // Frames queued before the fault still arrive whole (how many depends on
  // how far the emulator ran ahead); the cut one must not.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while ((r = easiroc_singleADCevent(easiroc::board().esrcdata)) == 64 && Clock::now() < deadline) {
  }
  EXPECT_EQ(r, -2);
  EXPECT_NE(cap.text().find("incomplete frame"), std::string::npos) << cap.text();
}

TEST_F(BoardTest, ContinuousReadoutFileIsByteExact) {
  connect();
  std::string file = path("run.dat");
  mdq::platform::ConsoleCapture cap;
  ASSERT_EQ(easiroc_fDAQ(file.c_str(), 120), 0);
  EXPECT_EQ(read_file(file), frames_range(1, 120));
  auto rec = board_->record();
  EXPECT_EQ(rec.starts, 1);
  EXPECT_GE(rec.stops, 1);
  EXPECT_FALSE(board_->streaming());
  const std::string t = cap.text();
  EXPECT_NE(t.find("easiroc_fDAQ: Starting DAQ with file_name = " + file + " | MaxCycleNum = 120\n"),
            std::string::npos);
  EXPECT_NE(t.find("\nEnd ADC\n"), std::string::npos);
  EXPECT_EQ(t.find("Fatal"), std::string::npos) << t;
}

// Long enough for the receive buffer to be reused many times under frames
// still waiting to be written, and for many write runs.
TEST_F(BoardTest, LongContinuousReadoutFileIsByteExactAndFullyCounted) {
  connect();
  constexpr long long kFrames = 6000;  // about 1.6 MB
  struct Seen {
    long long frames = -1, bytes = -1;
  } seen;
  easiroc_set_progress_hook(
      [](const EasirocProgress& p, void* u) {
        auto* s = static_cast<Seen*>(u);
        if (p.finished) s->frames = p.framesWritten, s->bytes = p.bytesWritten;
      },
      &seen);
  std::string file = path("long.dat");
  mdq::platform::ConsoleCapture cap;
  ASSERT_EQ(easiroc_fDAQ(file.c_str(), int(kFrames)), 0);
  const auto want = frames_range(1, kFrames);
  EXPECT_TRUE(read_file(file) == want) << "the file differs from the frames the board sent";
  EXPECT_EQ(seen.frames, kFrames);
  EXPECT_EQ(seen.bytes, static_cast<long long>(want.size()));
}

TEST_F(BoardTest, ContinuousReadoutPrintsDataWordsWhenAsked) {
  easiroc_settings().frameDump = EasirocSettings::FrameDump::Every;
  connect();
  mdq::platform::ConsoleCapture cap;
  ASSERT_EQ(easiroc_fDAQ(path("p.dat").c_str(), 2), 0);
  auto w = mdq::sim::board_frame(numbered_record(2));
  char expect[64];
  std::snprintf(expect, sizeof expect, "[0] 0x%x [1] 0x%x ", w[3], w[4]);
  EXPECT_NE(cap.text().find(expect), std::string::npos);
  std::snprintf(expect, sizeof expect, "[63] 0x%x \n", w[66]);
  EXPECT_NE(cap.text().find(expect), std::string::npos);
}

TEST_F(BoardTest, ContinuousReadoutSkipsBadFramesAndKeepsTheRest) {
  connect();
  board_->faults().splitBytes = 7;
  board_->faults().splitPauseUs = 20;
  board_->faults().corruptMagicAtFrame = 3;
  board_->faults().oversizedAtFrame = 5;
  std::string file = path("bad.dat");
  mdq::platform::ConsoleCapture cap;
  EXPECT_EQ(easiroc_fDAQ(file.c_str(), 10), 0);
  const std::string t = cap.text();
  EXPECT_NE(t.find("Fatal ADC ERROR : HEADER"), std::string::npos) << t;
  EXPECT_NE(t.find("exceeds the 997-word frame buffer"), std::string::npos) << t;
  // The ten cycles met frames 1 to 10; the two bad ones are left out, every
  // other frame is whole and in order.
  EXPECT_EQ(read_file(file), frames({1, 2, 4, 6, 7, 8, 9, 10}));
}

TEST_F(BoardTest, ContinuousReadoutEndsCleanlyWhenBoardDisconnects) {
  connect();
  std::thread cut([&] {
    board_->waitFor([](const auto& r) { return r.framesSent >= 20; }, std::chrono::seconds(2));
    board_->faults().closeMidFrame = true;
  });
  std::string file = path("cut.dat");
  mdq::platform::ConsoleCapture cap;
  auto t0 = Clock::now();
  EXPECT_EQ(easiroc_fDAQ(file.c_str(), 100000), -1);
  cut.join();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
  EXPECT_NE(cap.text().find("connection to the board lost"), std::string::npos) << cap.text();
  auto data = read_file(file);
  const std::size_t fsize = frame_bytes(1).size();
  ASSERT_EQ(data.size() % fsize, 0u);
  std::size_t n = data.size() / fsize;
  EXPECT_GE(n, 19u);
  EXPECT_EQ(data, frames_range(1, n));
  // The line counts what the file holds, frames still waiting for their
  // batched write included.
  EXPECT_NE(cap.text().find("; " + std::to_string(n) + " frames in " + file), std::string::npos)
      << cap.text();
}

TEST_F(BoardTest, ForceStopStopsDrainsAndClosesACompleteFile) {
  connect();
  struct Seen {
    std::atomic<long long> calls{0}, frames{0};
    std::atomic<bool> finished{false};
  } seen;
  easiroc_set_progress_hook(
      [](const EasirocProgress& p, void* u) {
        auto* s = static_cast<Seen*>(u);
        ++s->calls;
        s->frames = p.framesWritten;
        if (p.finished) s->finished = true;
        if (p.framesWritten >= 200) easiroc::board().ForceStop = 1;  // what the panel's stop control does
      },
      &seen);
  easiroc_settings().progressIntervalMs = 1;
  std::string file = path("stop.dat");
  mdq::platform::ConsoleCapture cap;
  auto t0 = Clock::now();
  EXPECT_EQ(easiroc_fDAQ(file.c_str(), 1000000000), 0);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(20));
  EXPECT_NE(cap.text().find("stop requested"), std::string::npos);
  EXPECT_TRUE(seen.finished.load());
  EXPECT_GE(seen.calls.load(), 2);
  EXPECT_EQ(easiroc::board().ForceStop.load(), 0);
  EXPECT_FALSE(board_->streaming());
  auto data = read_file(file);
  std::size_t n = data.size() / frame_bytes(1).size();
  EXPECT_GE(n, 200u);
  EXPECT_EQ(seen.frames.load(), static_cast<long long>(n));
  EXPECT_EQ(data, frames_range(1, n));
}

TEST_F(BoardTest, ForceStopCutsAWaitForAFrameShort) {
  easiroc_settings().recvTimeoutMs = 3000;
  connect();
  board_->setFrameSource([](std::chrono::milliseconds t) -> std::optional<TriggerRecord> {
    std::this_thread::sleep_for(t);
    return std::nullopt;  // no triggers at all
  });
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    easiroc::board().ForceStop = 1;
  });
  mdq::platform::ConsoleCapture cap;
  auto t0 = Clock::now();
  // The drain ends only on a receive time-out of its own.
  EXPECT_EQ(easiroc_fDAQ(path("idle.dat").c_str(), 10), 0);
  stopper.join();
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(3000 + 2500));
  EXPECT_EQ(cap.text().find("Fatal"), std::string::npos) << cap.text();
  EXPECT_TRUE(read_file(path("idle.dat")).empty());
}

TEST_F(BoardTest, DrainRepeatsStopEvery50FramesAndIsBounded) {
  connect();
  board_->faults().ignoreStop = true;
  easiroc_settings().drainMaxFrames = 120;
  mdq::platform::ConsoleCapture cap;
  ASSERT_EQ(easiroc_singleADCstart(), 0);
  EXPECT_EQ(easiroc_singleADCstop(), 0);
  EXPECT_NE(cap.text().find("giving up"), std::string::npos);
  // One stop, then again before drained frames 51 and 101.
  EXPECT_TRUE(board_->waitFor([](const auto& r) { return r.stops >= 3; }, std::chrono::seconds(2)));
  EXPECT_EQ(board_->record().stops, 3);
  board_->faults().ignoreStop = false;
}

TEST_F(BoardTest, FileThatCannotBeCreatedStartsNothing) {
  connect();
  mdq::platform::ConsoleCapture cap;
  std::string bad = path("missing-dir/run.dat");
  EXPECT_EQ(easiroc_fDAQ(bad.c_str(), 10), -1);
  EXPECT_NE(cap.text().find("ContinuousADC_ver2: ERROR opneing file " + bad + "\n"),
            std::string::npos);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(board_->record().starts, 0);
}

TEST_F(BoardTest, ZeroCyclesReadsUntilStopped) {
  connect();
  easiroc_set_progress_hook(
      [](const EasirocProgress& p, void*) {
        if (p.framesWritten >= 50) easiroc::board().ForceStop = 1;  // the panel's stop control
      },
      nullptr);
  easiroc_settings().progressIntervalMs = 1;
  mdq::platform::ConsoleCapture cap;
  const auto t0 = Clock::now();
  EXPECT_EQ(easiroc_fDAQ(path("zero.dat").c_str(), 0), 0);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));
  EXPECT_NE(cap.text().find("reading until stopped"), std::string::npos) << cap.text();
  EXPECT_NE(cap.text().find("\nEnd ADC\n"), std::string::npos);
  const auto data = read_file(path("zero.dat"));
  const std::size_t n = data.size() / frame_bytes(1).size();
  EXPECT_GE(n, 50u);
  EXPECT_EQ(data, frames_range(1, n));
  EXPECT_EQ(board_->record().starts, 1);
  EXPECT_FALSE(board_->streaming());
}

TEST_F(BoardTest, OneCycleReadsOneFrameThenStops) {
  connect();
  ASSERT_EQ(easiroc_fDAQ(path("one.dat").c_str(), 1), 0);
  EXPECT_EQ(read_file(path("one.dat")), frames({1}));
  EXPECT_EQ(board_->record().stops >= 1, true);
}

TEST_F(BoardTest, FramesFromTheSharedTriggerSourceDecodeAsAdcWords) {
  auto& src = mdq::sim::shared_trigger_source();
  src.reset();
  src.setRate(2000);
  src.setFreeRunning(true);
  board_->setFrameSource(mdq::sim::shared_trigger_frames());
  connect();
  ASSERT_EQ(easiroc_singleADCstart(), 0);
  ASSERT_EQ(easiroc_singleADCevent(easiroc::board().esrcdata), 64);
  for (int i = 0; i < 64; ++i) {
    unsigned type = (easiroc::board().esrcdata[i] >> 24) & 0xFF;
    EXPECT_EQ(type, i % 2 == 0 ? 0x81u : 0x60u);
    EXPECT_EQ((easiroc::board().esrcdata[i] >> 16) & 0x1F, unsigned(i / 2));
  }
  (void)easiroc_singleADCstop();
  src.setFreeRunning(false);
}

// A corrupt frame among those still in flight after the stop words must not
// end the drain: the frames behind it would be read as the next start's.
TEST_F(BoardTest, DrainGoesOnPastACorruptFrame) {
  connect();
  ASSERT_EQ(easiroc_singleADCstart(), 0);
  ASSERT_EQ(easiroc_singleADCevent(easiroc::board().esrcdata), 64);
  board_->faults().corruptMagicFrames = 1;
  ASSERT_TRUE(board_->waitFor([](const auto& r) { return r.framesSent >= 5; },
                              std::chrono::seconds(2)));
  mdq::platform::ConsoleCapture cap;
  EXPECT_EQ(easiroc_singleADCstop(), 0);
  const std::uint64_t sentBeforeRestart = board_->record().framesSent;
  ASSERT_EQ(easiroc_singleADCstart(), 0);
  ASSERT_EQ(easiroc_singleADCevent(easiroc::board().esrcdata), 64);
  const auto words = mdq::sim::board_frame(numbered_record(sentBeforeRestart + 1));
  for (int i = 0; i < 64; ++i)
    ASSERT_EQ(easiroc::board().esrcdata[i], words[3 + i]) << "a frame from before the stop came back";
  (void)easiroc_singleADCstop();
}

TEST_F(BoardTest, ClosedLinkIsSaidAtStartAndAtTheNextEvent) {
  connect();
  board_->stop();
  mdq::platform::ConsoleCapture cap;
  EXPECT_EQ(easiroc_singleADCstart(), -1);
  EXPECT_NE(cap.text().find("the board closed the connection -- reconnect"), std::string::npos)
      << cap.text();
  EXPECT_EQ(cap.text().find("Start ADC"), std::string::npos);
  EXPECT_NE(easiroc_link_state(), 0);
  cap.clear();
  EXPECT_EQ(easiroc_singleADCevent(easiroc::board().esrcdata), -2);
  EXPECT_NE(cap.text().find("ADC read-out: the board closed the connection"), std::string::npos)
      << cap.text();
}
