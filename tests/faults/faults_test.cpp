// Fault matrix. Each test is one scenario, repeated kReps times, and checks
// the same three things every time:
//   - no hang: every operation returns within its time-out + kSlack, timed;
//   - no wrong value reported as good: a failed read yields no plausible
//     value, and the console names what failed;
//   - nothing already written is lost: files stay readable and complete
//     where the code promises it.
// Time-outs are the short test settings below, never the station's own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "backend.h"
#include "bias.h"
#include "board_emulator.h"
#include "camac.h"
#include "daq_run.h"
#include "decode.h"
#include "dispatch.h"
#include "easiroc.h"
#include "mdq_main.h"
#include "mdq_ui.h"
#include "platform.h"
#include "rbcp_responder.h"
#include "run_control.h"
#include "runfile.h"
#include "sim_crate.h"
#include "sim_driver.h"
#include "sitcp.h"
#include "live_histograms.h"
#include "stand_helpers.h"
#include "trigger_source.h"
#include "v1290.h"
#include "wienvme_dll.h"
#include "run_state.h"
#include "board_link.h"

using namespace mdq::test;
using Ms = std::chrono::milliseconds;

namespace {

constexpr int kReps = 10;
constexpr Ms kSlack{500};

// Test time-outs.
constexpr int kRecvMs = 150;     // easiroc_settings().recvTimeoutMs
constexpr int kConnectMs = 300;  // easiroc_settings().connectTimeoutMs
constexpr Ms kReply{100};        // sitcp_settings().replyTimeout

Ms since(Clock::time_point t0) { return std::chrono::duration_cast<Ms>(Clock::now() - t0); }

// Runs f and fails the scenario when it takes longer than bound + kSlack.
template <class F>
Ms timed(const char* what, Ms bound, F&& f) {
  const auto t0 = Clock::now();
  f();
  const Ms took = since(t0);
  EXPECT_LE(took.count(), (bound + kSlack).count())
      << what << " took " << took.count() << " ms; bound " << bound.count() << " ms + slack";
  return took;
}

bool has(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

#define REP_TRACE(rep) SCOPED_TRACE("repetition " + std::to_string(rep))

// ---- board -------------------------------------------------------------------

sim::TriggerRecord numbered_record(std::uint64_t n) {
  sim::TriggerRecord r;
  r.number = n;
  for (int ch = 0; ch < 64; ++ch) {
    r.adc[ch][0] = std::uint16_t((n * 7 + ch * 13) & 0xFFF);
    r.adc[ch][1] = std::uint16_t((n * 3 + ch) & 0xFFF);
  }
  return r;
}

// Frames 1, 2, 3... at a board-like rate (an unthrottled source would fill
// the loopback buffers that every drain then has to read).
sim::AdcFrameSource counting_source(double rateHz = 5000) {
  struct State {
    std::uint64_t n = 0;
    Clock::time_point t0 = Clock::now();
  };
  auto st = std::make_shared<State>();
  return [st, rateHz](Ms timeout) -> std::optional<sim::TriggerRecord> {
    auto due = st->t0 + std::chrono::microseconds(std::int64_t(1e6 * double(st->n) / rateHz));
    auto now = Clock::now();
    if (due > now + timeout) {
      std::this_thread::sleep_for(timeout);
      return std::nullopt;
    }
    if (due < now - 20ms) st->t0 = now - (due - st->t0);
    std::this_thread::sleep_until(due);
    return numbered_record(++st->n);
  };
}

std::vector<std::uint8_t> frame_bytes(std::uint64_t n) {
  std::vector<std::uint8_t> b;
  for (std::uint32_t w : sim::board_frame(numbered_record(n)))
    for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(w >> (8 * i)));
  return b;
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// A continuous read-out file: only whole frames, numbered from 1 up with at
// most the listed ones left out. Returns the frame numbers found.
std::vector<std::uint64_t> whole_frames(const std::vector<std::uint8_t>& data) {
  const std::size_t fsize = frame_bytes(1).size();
  EXPECT_EQ(data.size() % fsize, 0u) << "a partial frame in the file";
  std::vector<std::uint64_t> numbers;
  std::uint64_t next = 1;
  for (std::size_t at = 0; at + fsize <= data.size(); at += fsize) {
    bool matched = false;
    for (std::uint64_t n = next; n < next + 5 && !matched; ++n) {
      const auto f = frame_bytes(n);
      if (std::equal(f.begin(), f.end(), data.begin() + std::ptrdiff_t(at))) {
        numbers.push_back(n);
        next = n + 1;
        matched = true;
      }
    }
    EXPECT_TRUE(matched) << "bytes at " << at << " are not the next whole frame";
    if (!matched) break;
  }
  return numbers;
}

// The data words a single-event read must hand back for frame n.
bool is_frame_data(const unsigned* words, std::uint64_t n) {
  const auto f = sim::board_frame(numbered_record(n));
  return std::equal(f.begin() + 3, f.end(), words);
}

constexpr unsigned kCanary = 0xC0FFEE11u;

class BoardFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    mdq::platform::reset_for_tests();
    easiroc_reset_settings();
    auto& s = easiroc_settings();
    s.recvTimeoutMs = kRecvMs;
    s.connectTimeoutMs = kConnectMs;
    s.ackPauseUs = 200;
    s.streamBytePauseUs = 0;
    s.startPauseUs = 2000;
    s.framePauseUs = 0;
    s.frameDump = EasirocSettings::FrameDump::None;
    dir_ = fresh_test_dir("mdq_faults_");
    restart();
  }
  void TearDown() override {
    if (easiroc_Connected()) easiroc_Close();
    if (board_) board_->stop();
    stdfs::remove_all(dir_);
    easiroc::board().ForceStop = 0;
    easiroc_reset_settings();
  }
  // A fresh emulator (fresh frame numbering and faults) for each repetition.
  void restart() {
    if (easiroc_Connected()) {
      ConsoleCapture quiet;
      easiroc_Close();
    }
    if (board_) board_->stop();
    sim::BoardEmulator::Options o;
    o.maxQueuedBytes = 4096;
    board_ = std::make_unique<sim::BoardEmulator>(o);
    board_->setFrameSource(counting_source());
    ASSERT_TRUE(board_->start());
    board_link().tcpPort = board_->port();
  }
  void connect() {
    ConsoleCapture quiet;
    const int before = board_->record().connections;
    ASSERT_EQ(easiroc_Connect("127.0.0.1"), 0);
    ASSERT_TRUE(board_->waitFor([&](const auto& r) { return r.connections > before; }, 2s));
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  std::unique_ptr<sim::BoardEmulator> board_;
  stdfs::path dir_;
};

// A register write: the word, the acknowledgement pause, one receive time-out.
const Ms kWriteBound{kRecvMs + 1};
// A single-event read: header and body each within one receive time-out.
const Ms kEventBound{2 * kRecvMs};

TEST_F(BoardFaults, NoListenerConnectionRefused) {
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    restart();
    const int port = board_->port();
    board_->stop();  // the port is free again: nothing listens
    board_link().tcpPort = port;
    ConsoleCapture con;
    int r = 0;
    timed("connect", Ms(kConnectMs), [&] { r = easiroc_Connect("127.0.0.1"); });
    EXPECT_EQ(r, -1);
    EXPECT_FALSE(easiroc_Connected());
    EXPECT_TRUE(has(con.text(), "SiTCP Master :: Connection fail\n")) << con.text();
    con.clear();
    timed("write without a link", Ms(0), [&] { r = WriteData(easiroc::board().sock, 0x9400); });
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(has(con.text(), "no board connection")) << con.text();
    std::fill(std::begin(easiroc::board().esrcdata), std::end(easiroc::board().esrcdata), kCanary);
    timed("event without a link", Ms(0), [&] { r = easiroc_singleADCstart(); });
    EXPECT_EQ(r, -1);
    for (unsigned w : easiroc::board().esrcdata) ASSERT_EQ(w, kCanary);
  }
}

// A listening socket that takes the connection and never says a word.
class SilentListener {
 public:
  SilentListener() {
    lfd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = bind(lfd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(lfd_, 4) == 0;
    socklen_t len = sizeof a;
    getsockname(lfd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~SilentListener() {
    for (int fd : accepted_) close(fd);
    close(lfd_);
  }
  void acceptOne() {
    int fd = accept(lfd_, nullptr, nullptr);
    if (fd >= 0) accepted_.push_back(fd);
  }
  bool ok() const { return ok_; }
  int port() const { return port_; }

 private:
  int lfd_ = -1;
  int port_ = 0;
  bool ok_ = false;
  std::vector<int> accepted_;
};

TEST_F(BoardFaults, AcceptAndNeverAnswer) {
  SilentListener quiet;
  ASSERT_TRUE(quiet.ok());
  board_link().tcpPort = quiet.port();
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    ConsoleCapture con;
    int r = 0;
    timed("connect", Ms(kConnectMs), [&] { r = easiroc_Connect("127.0.0.1"); });
    ASSERT_EQ(r, 0);
    quiet.acceptOne();
    timed("register write", kWriteBound, [&] { r = WriteData(easiroc::board().sock, (0x1Fu << 16) + 3); });
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(has(con.text(), "recv failed: ")) << con.text();
    unsigned buf[200];
    std::fill(std::begin(buf), std::end(buf), kCanary);
    ASSERT_EQ(easiroc_singleADCstart(), 0);
    con.clear();
    timed("event", kEventBound, [&] { r = easiroc_singleADCevent(buf); });
    EXPECT_EQ(r, -2);
    EXPECT_TRUE(has(con.text(), "Fatal ADC ERROR : HEADER")) << con.text();
    for (unsigned w : buf) ASSERT_EQ(w, kCanary);
    timed("stop", Ms(kRecvMs + 50), [&] { (void)easiroc_singleADCstop(); });
  }
}

TEST_F(BoardFaults, NoAcknowledgement) {
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    restart();
    connect();
    board_->faults().noAck = true;
    ConsoleCapture con;
    int r = 0;
    timed("register write", kWriteBound, [&] { r = WriteData(easiroc::board().sock, 0x9400 + rep); });
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(has(con.text(), "recv failed: ")) << con.text();
    EXPECT_FALSE(has(con.text(), ".")) << "a failed write prints no progress dot";
    // A transfer stops at its first failed write.
    timed("slow-control transfer", kWriteBound, [&] { r = easiroc_fTransmitSC(); });
    EXPECT_EQ(r, -1);
    board_->faults().noAck = false;
    EXPECT_EQ(WriteData(easiroc::board().sock, 0x9400), 0) << "the link works again once the board answers";
  }
}

TEST_F(BoardFaults, ShortAcknowledgement) {
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    restart();
    connect();
    board_->faults().ackBytes = 1 + rep % 3;  // 1, 2 or 3 bytes
    for (int i = 0; i < 4; ++i) {
      int r = 0;
      timed("register write", kWriteBound + Ms(20), [&] { r = WriteData(easiroc::board().sock, 0x5400 + i); });
      EXPECT_EQ(r, 0);
    }
    // Nothing of the acknowledgements is read as a frame.
    unsigned buf[100];
    ASSERT_EQ(easiroc_singleADCstart(), 0);
    int r = 0;
    timed("event", kEventBound, [&] { r = easiroc_singleADCevent(buf); });
    ASSERT_EQ(r, 64);
    EXPECT_TRUE(is_frame_data(buf, 1));
    (void)easiroc_singleADCstop();
  }
}

TEST_F(BoardFaults, SplitSegments) {
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    restart();
    connect();
    board_->faults().splitBytes = 1 + rep % 7;
    board_->faults().splitPauseUs = 100;
    int r = 0;
    timed("register write", kWriteBound + Ms(20), [&] { r = WriteData(easiroc::board().sock, 0x9400); });
    EXPECT_EQ(r, 0);
    ASSERT_EQ(easiroc_singleADCstart(), 0);
    for (std::uint64_t n = 1; n <= 3; ++n) {
      unsigned buf[100];
      timed("event", kEventBound, [&] { r = easiroc_singleADCevent(buf); });
      ASSERT_EQ(r, 64) << "frame " << n;
      EXPECT_TRUE(is_frame_data(buf, n)) << "frame " << n;
    }
    board_->faults().splitBytes = 0;
    (void)easiroc_singleADCstop();
  }
}

TEST_F(BoardFaults, CorruptFrameMagic) {
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    restart();
    connect();
    board_->faults().corruptMagicFrames = 1;
    ASSERT_EQ(easiroc_singleADCstart(), 0);
    unsigned buf[100];
    std::fill(std::begin(buf), std::end(buf), kCanary);
    ConsoleCapture con;
    int r = 0;
    timed("event", kEventBound, [&] { r = easiroc_singleADCevent(buf); });
    EXPECT_EQ(r, -2);
    EXPECT_TRUE(has(con.text(), "Fatal ADC ERROR : HEADER\nHeader1 : 0xffffea0d")) << con.text();
    for (unsigned w : buf) ASSERT_EQ(w, kCanary);
    timed("event", kEventBound, [&] { r = easiroc_singleADCevent(buf); });
    ASSERT_EQ(r, 64);
    EXPECT_TRUE(is_frame_data(buf, 2)) << "the next frame is found again";
    (void)easiroc_singleADCstop();
  }
}

// A continuous read-out of `cycles` frames: the cycles, a drain that ends on
// one quiet receive time-out, two stop words.
Ms continuous_bound(int cycles) { return Ms((cycles + 2) * kRecvMs + 50); }

TEST_F(BoardFaults, OversizedFrameInContinuousReadout) {
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    restart();
    connect();
    const std::uint64_t bad = 2 + rep % 5;
    board_->faults().oversizedAtFrame = bad;  // 1200 data words
    const std::string file = path("over" + std::to_string(rep) + ".dat");
    ConsoleCapture con;
    int r = 0;
    timed("continuous read-out", continuous_bound(8), [&] { r = easiroc_fDAQ(file.c_str(), 8); });
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(has(con.text(), "exceeds the 997-word frame buffer")) << con.text();
    const auto got = whole_frames(read_file(file));
    std::vector<std::uint64_t> want;
    for (std::uint64_t n = 1; n <= 8; ++n)
      if (n != bad) want.push_back(n);
    EXPECT_EQ(got, want);
    EXPECT_FALSE(board_->streaming());
  }
}

TEST_F(BoardFaults, FrameOf150WordsInSingleEventRead) {
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    restart();
    connect();
    board_->faults().hugeFrames = 1;
    // Twice the event buffer: words 100.. show a copy past its end.
    unsigned buf[2 * ESRCDATA_WORDS];
    std::fill(std::begin(buf), std::end(buf), kCanary);
    ASSERT_EQ(easiroc_singleADCstart(), 0);
    ConsoleCapture con;
    int r = 0;
    timed("event", kEventBound, [&] { r = easiroc_singleADCevent(buf); });
    EXPECT_EQ(r, 150);
    EXPECT_TRUE(has(con.text(), "not copied")) << con.text();
    for (int i = 0; i < 2 * ESRCDATA_WORDS; ++i) ASSERT_EQ(buf[i], kCanary) << "word " << i;
    timed("event", kEventBound, [&] { r = easiroc_singleADCevent(buf); });
    ASSERT_EQ(r, 64);
    EXPECT_TRUE(is_frame_data(buf, 2));
    for (int i = 64; i < 2 * ESRCDATA_WORDS; ++i) ASSERT_EQ(buf[i], kCanary) << "word " << i;
    (void)easiroc_singleADCstop();
  }
}

TEST_F(BoardFaults, DisconnectMidFrame) {
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    // Single events: the cut frame is an error, never a partial copy.
    restart();
    connect();
    ASSERT_EQ(easiroc_singleADCstart(), 0);
    unsigned buf[100];
    ASSERT_EQ(easiroc_singleADCevent(buf), 64);
    board_->faults().closeMidFrame = true;
    ConsoleCapture con;
    int r = 64;
    std::uint64_t n = 1;
    for (int i = 0; i < 200 && r == 64; ++i) {
      std::fill(std::begin(buf), std::end(buf), kCanary);
      timed("event", kEventBound, [&] { r = easiroc_singleADCevent(buf); });
      if (r == 64) {
        EXPECT_TRUE(is_frame_data(buf, ++n)) << "frame " << n;
      }
    }
    EXPECT_EQ(r, -2);
    EXPECT_TRUE(has(con.text(), "incomplete frame")) << con.text();
    for (unsigned w : buf) ASSERT_EQ(w, kCanary);

    // Continuous: the file keeps every whole frame before the cut.
    restart();
    connect();
    const int cutAfter = 5 + rep;
    std::thread cut([&] {
      board_->waitFor([&](const auto& rec) { return rec.framesSent >= std::uint64_t(cutAfter); },
                      2s);
      board_->faults().closeMidFrame = true;
    });
    const std::string file = path("cut" + std::to_string(rep) + ".dat");
    con.clear();
    timed("continuous read-out", continuous_bound(cutAfter + 40),
          [&] { r = easiroc_fDAQ(file.c_str(), 100000); });
    cut.join();
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(has(con.text(), "connection to the board lost")) << con.text();
    const auto got = whole_frames(read_file(file));
    EXPECT_GE(got.size(), std::size_t(cutAfter - 1));
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], i + 1);
  }
}

TEST_F(BoardFaults, SlowRepliesBeyondTheTimeout) {
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    restart();
    connect();
    board_->faults().replyDelayMs = 2 * kRecvMs;
    ConsoleCapture con;
    int r = 0;
    timed("register write", kWriteBound, [&] { r = WriteData(easiroc::board().sock, 0x9400); });
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(has(con.text(), "recv failed: ")) << con.text();
    ASSERT_EQ(easiroc_singleADCstart(), 0);
    unsigned buf[100];
    std::fill(std::begin(buf), std::end(buf), kCanary);
    con.clear();
    timed("event", kEventBound, [&] { r = easiroc_singleADCevent(buf); });
    EXPECT_EQ(r, -2);
    for (unsigned w : buf) ASSERT_EQ(w, kCanary);
    // The board catches up: the late acknowledgement must not turn into
    // data. Whatever is read now is a whole frame of the board or an error.
    board_->faults().replyDelayMs = 0;
    for (int i = 0; i < 5; ++i) {
      std::fill(std::begin(buf), std::end(buf), kCanary);
      timed("event", kEventBound, [&] { r = easiroc_singleADCevent(buf); });
      if (r == 64) {
        bool some = false;
        for (std::uint64_t n = 1; n < 200 && !some; ++n) some = is_frame_data(buf, n);
        EXPECT_TRUE(some) << "a frame that the board never sent was reported good";
      } else {
        EXPECT_EQ(r, -2);
        for (unsigned w : buf) ASSERT_EQ(w, kCanary);
      }
    }
    timed("stop", Ms(2000), [&] { (void)easiroc_singleADCstop(); });
  }
}

TEST_F(BoardFaults, BoardIgnoringTheStopWord) {
  constexpr int kDrainMax = 60;
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    restart();
    connect();
    easiroc_settings().drainMaxFrames = kDrainMax;
    board_->faults().ignoreStop = true;
    const std::string file = path("nostop" + std::to_string(rep) + ".dat");
    ConsoleCapture con;
    int r = 0;
    // The drain: at most drainMaxFrames frames, 1 ms apart, at the board's
    // 5 kHz, plus a stop every 50 frames.
    const Ms drainBound{kDrainMax * 2 + 2 * 11};
    timed("continuous read-out", continuous_bound(10) + drainBound,
          [&] { r = easiroc_fDAQ(file.c_str(), 10); });
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(has(con.text(), "giving up")) << con.text();
    const auto got = whole_frames(read_file(file));
    ASSERT_EQ(got.size(), 10u) << "drained frames are not written";
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], i + 1);
    board_->faults().ignoreStop = false;
  }
}

// ---- RBCP ----------------------------------------------------------------------

class RbcpFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    mdq::platform::reset_for_tests();
    ASSERT_EQ(board_.start(0), 0);
    board_.setMadcNoise(0);
    ConsoleCapture quiet;
    board_link().address = "127.0.0.1";
    board_link().udpPort = board_.port();
    sitcp_settings().replyTimeout = kReply;
    SiTCPSetIPPort(board_link().host(), 24, board_.port());
    SiTCPCreateUDPSock();
  }
  void TearDown() override {
    ConsoleCapture quiet;
    SiTCPclose();
    board_.stop();
    sitcp_settings() = SiTCPLinkSettings{};
    mdq::platform::set_delay_hook(nullptr);
  }
  int read(std::uint32_t address, Ms bound = kReply) {
    int r = 0;
    timed("register read", bound, [&] { r = Senderudp_recv(address, 0); });
    return r;
  }
  sim::RbcpResponder board_;
};

TEST_F(RbcpFaults, DroppedReply) {
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    board_.setReg(0x22, std::uint8_t(0x30 + rep));
    board_.dropNextReplies(1);
    ConsoleCapture con;
    const auto t0 = Clock::now();
    EXPECT_EQ(read(0x22), -1);
    EXPECT_GE(since(t0).count(), kReply.count() - 5) << "gave up before the time-out";
    EXPECT_TRUE(has(con.text(), "Timeout")) << con.text();
    EXPECT_EQ(read(0x22), 0x30 + rep);
  }
}

TEST_F(RbcpFaults, DelayedReplyPastTheTimeout) {
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    // Every earlier request answered (the count goes up just after the send).
    ASSERT_TRUE(board_.waitForReplies(board_.datagramsReceived(), 2s));
    board_.setReg(0x30, 0x11);
    const auto sent = board_.repliesSent();
    board_.delayNextReplies(1, kReply + 50ms);
    ConsoleCapture con;
    EXPECT_EQ(read(0x30), -1);
    EXPECT_TRUE(has(con.text(), "Timeout")) << con.text();
    ASSERT_TRUE(board_.waitForReplies(sent + 1, 2s));  // the late one is queued now
    board_.setReg(0x30, std::uint8_t(0x40 + rep));
    EXPECT_EQ(read(0x30), 0x40 + rep) << "the late reply was taken for the next request";
  }
}

// A late reply still on its way when the next request to the same register
// goes out carries the register's old id: it must not be that request's answer.
TEST_F(RbcpFaults, LateReplyInFlightForTheSameRegister) {
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    ASSERT_TRUE(board_.waitForReplies(board_.datagramsReceived(), 2s));
    board_.setReg(0x30, 0x11);
    // Both replies late: the first lands while the second request waits.
    board_.delayNextReplies(2, kReply + 50ms);
    EXPECT_EQ(read(0x30), -1);
    board_.setReg(0x30, std::uint8_t(0x40 + rep));
    const int r = read(0x30);
    EXPECT_NE(r, 0x11) << "the old value of an earlier request was reported as the answer";
    EXPECT_TRUE(r == -1 || r == 0x40 + rep) << r;
    std::this_thread::sleep_for(kReply + 60ms);  // let the second late reply land
  }
}

TEST_F(RbcpFaults, StaleReplyWithOldId) {
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    board_.setReg(0x40, 0x01);
    board_.setReg(0x41, std::uint8_t(0x50 + rep));
    EXPECT_EQ(read(0x40), 0x01);
    board_.staleBeforeNextReplies(1);
    ConsoleCapture con;
    EXPECT_EQ(read(0x41), 0x50 + rep);
    EXPECT_TRUE(has(con.text(), "discarded")) << con.text();
  }
}

TEST_F(RbcpFaults, ShortReply) {
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    board_.setReg(0x50, std::uint8_t(0x90 + rep));
    EXPECT_EQ(read(0x50), 0x90 + rep);  // the reply buffer holds a good value now
    board_.shortNextReplies(1);
    ConsoleCapture con;
    EXPECT_EQ(read(0x50), -1);
    EXPECT_TRUE(has(con.text(), "too short")) << con.text();
    EXPECT_EQ(read(0x50), 0x90 + rep);
  }
}

TEST_F(RbcpFaults, NoResponderPortClosed) {
  const std::uint16_t port = board_.port();
  board_.stop();
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    {
      ConsoleCapture quiet;
      SiTCPSetIPPort("127.0.0.1", 24, port);
      SiTCPCreateUDPSock();
    }
    ConsoleCapture con;
    EXPECT_EQ(read(0x04), -1);
    EXPECT_EQ(con.text(), "\n***** Timeout ! *****\n") << "a failed read says so";
    con.clear();
    timed("register write", kReply, [] { Senderudp_send(0x20, 1); });
    EXPECT_EQ(con.text(), "\n***** Timeout ! *****\n") << "a write nobody acknowledged says so";
    // One monitor conversion: 4 writes and 2 reads, the conversion pause faked.
    mdq::platform::set_delay_hook([](double) {});
    int code = 0;
    timed("monitor conversion", 6 * kReply, [&] { code = Senderread_madc(MADC_CH_VOLTAGE); });
    mdq::platform::set_delay_hook(nullptr);
    EXPECT_EQ(code, -1);
  }
}

// The monitor's high-byte read of the voltage channel fails; the current
// channel reads normally.
std::atomic<sim::RbcpResponder*> g_rbcp{nullptr};
std::atomic<int> g_conversions{0};
void drop_after_first_conversion(double) {
  // Called once per channel, after the conversion's start writes: the next
  // three requests are the two stop writes and the high-byte read.
  if (g_conversions++ == 0) g_rbcp.load()->dropNextReplies(3);
}

TEST_F(RbcpFaults, BiasReadBackWithFailedReads) {
  {
    ConsoleCapture quiet;
    bias_on_udp_open(P1_ER_UDP_OPEN);
    SetCtrlVal(p1h, P1_ER_HV, 50.0);
    mdq::platform::set_delay_hook([](double) {});
    bias_on_hv_control(P1_ER_HV_CONTROL);
  }
  ASSERT_NEAR(board_.biasVolts(), 50.0, 0.01);
  g_rbcp = &board_;
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    g_conversions = 0;
    mdq::platform::set_delay_hook(drop_after_first_conversion);
    ConsoleCapture con;
    // Two channels of 4 writes and 2 reads; three of them time out.
    timed("bias read-back", 12 * kReply, [] { bias_on_hv_read(P1_ER_HV_READ); });
    mdq::platform::set_delay_hook(nullptr);
    const std::string text = con.text();
    EXPECT_TRUE(has(text, "Bias voltage : read-back failed\n")) << text;
    EXPECT_EQ(count_of(text, "Bias voltage : "), 1u) << "a voltage shown from a failed read: " << text;
    EXPECT_FALSE(has(text, "V\n")) << text;
    // The current channel is read normally: 50 V on 0.04 uA/V.
    const auto at = text.find("Bias current : ");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_NEAR(std::stod(text.substr(at + 15)), 2.0, 0.05) << text;
  }
  g_rbcp = nullptr;
}

// ---- crate -----------------------------------------------------------------------

std::vector<double> g_delays;
void record_delay(double s) { g_delays.push_back(s); }
double total_delay() {
  double t = 0;
  for (double d : g_delays) t += d;
  return t;
}

class CrateFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    mdq::platform::reset_for_tests();
    g_delays.clear();
    mdq::platform::set_delay_hook(record_delay);
    WIENVME_stop();
  }
  void TearDown() override {
    sim::simcrate_reset();
    {
      ConsoleCapture quiet;
      crate_shutdown();
      WIENVME_stop();
    }
    wienvme_set_driver_path(nullptr);
    mdq::platform::set_delay_hook(nullptr);
  }
};

TEST_F(CrateFaults, DriverLibraryMissing) {
  const std::string missing = "/nonexistent/mdq/libpcivme_missing.so";
  wienvme_set_driver_path(missing.c_str());
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    g_delays.clear();
    ConsoleCapture con;
    // Start-up runs through its handshake time-outs, which are Delay()s here:
    // the bound is the accounted delay, the real time only the slack.
    timed("crate start-up", Ms(0), [] { crate_startup(); });
    const std::string text = con.text();
    EXPECT_TRUE(has(text, "Failed to load the VME driver library")) << text.substr(0, 400);
    EXPECT_TRUE(has(text, missing));
    // 15 handshakes of 102 reads 10 ms apart, and the start-up's own pauses.
    EXPECT_EQ(count_of(text, "D16 read at 0x44441030 failed!\n"), 15u * V1290_HANDSHAKE_READS);
    EXPECT_GE(total_delay(), 15 * 1.02);
    EXPECT_LT(total_delay(), 15 * 1.02 + 1.0);
    con.clear();
    std::uint16_t word = 0xBEEF;
    int r = 0;
    timed("PIO read", Ms(0), [&] { r = WIENVME_read16(hHandle24, 1, 0x81B842, &word); });
    EXPECT_NE(r, 0);
    EXPECT_EQ(word, 0xBEEF) << "a failed read left a value behind";
    EXPECT_EQ(con.text(), "D16 read at 0x81B842 failed!\n");
    int answer = 0x1234;
    g_delays.clear();
    EXPECT_EQ(V1290_readOC(&answer), -1);
    EXPECT_EQ(answer, 0x1234);
    EXPECT_NEAR(total_delay(), 1.02, 1e-9);
    con.clear();
    crate_shutdown();
  }
}

TEST_F(CrateFaults, EntryPointFailing) {
  wienvme_set_driver_path(sim::simulated_driver_path().c_str());
  {
    ConsoleCapture quiet;
    crate_startup();
  }
  ASSERT_EQ(sim::simcrate_state().openSessions, 2);
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    ConsoleCapture con;
    // The whole read entry point fails.
    sim::simcrate_fail_op(sim::DriverOp::Read, true);
    std::uint16_t word = 0xBEEF;
    EXPECT_NE(WIENVME_read16(hHandle24, 1, 0x81B842, &word), 0);
    EXPECT_EQ(word, 0xBEEF);
    int answer = 0x1234;
    g_delays.clear();
    timed("micro read", Ms(0), [&] { EXPECT_EQ(V1290_readOC(&answer), -1); });
    EXPECT_EQ(answer, 0x1234);
    EXPECT_NEAR(total_delay(), 1.02, 1e-9);
    EXPECT_TRUE(has(con.text(), "D16 read at 0x44441030 failed!\n"));
    sim::simcrate_fail_op(sim::DriverOp::Read, false);

    // Only the micro-controller's data register fails: the handshake is
    // fine, the transfer is not, and neither may count as done.
    con.clear();
    sim::simcrate_fail_address(V1290_MICRO, true);
    int opcode = 0x0200;  // read the trigger configuration
    EXPECT_EQ(V1290_writeOC(&opcode), -1) << "a write the bus refused reported as sent";
    answer = 0x1234;
    EXPECT_EQ(V1290_readOC(&answer), -1) << "a read the bus refused reported as read";
    EXPECT_EQ(answer, 0x1234);
    EXPECT_TRUE(has(con.text(), "D16 write at 0x4444102E failed!\n")) << con.text();
    sim::simcrate_fail_address(V1290_MICRO, false);

    // The write entry point fails: the veto cannot be set, and says so.
    con.clear();
    sim::simcrate_fail_op(sim::DriverOp::Write, true);
    const unsigned pioWrites = sim::simcrate_state().pioWrites;
    std::uint16_t one = 1;
    EXPECT_NE(WIENVME_write16(hHandle24, 1, 0x81B842, &one), 0);
    EXPECT_EQ(con.text(), "D16 write at 0x81B842 failed!\n");
    EXPECT_EQ(sim::simcrate_state().pioWrites, pioWrites);
    sim::simcrate_fail_op(sim::DriverOp::Write, false);
  }
}

// ---- the stand: crate, board and run file together ------------------------------

constexpr std::uint32_t kPio = PIO_OUTPUT;

// Event numbers 1.. in order after the header and one position record.
void expect_whole_events(const RunFileScan& s) {
  ASSERT_GE(s.records.size(), 2u);
  EXPECT_EQ(s.records[0].id, RUNREC_ID);
  EXPECT_EQ(s.records[1].id, POSREC_ID);
  const auto evts = of_type(s, EVTREC_ID);
  for (std::size_t i = 0; i < evts.size(); ++i) ASSERT_EQ(evts[i].evt.nev, i + 1);
}

class StandFaults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    mdq::platform::reset_for_tests();
    mdq::platform::set_delay_hook([](double) {});
    ConsoleCapture quiet;
    stand_up();
  }
  static void TearDownTestSuite() {
    ConsoleCapture quiet;
    stand_down();
    mdq::platform::set_delay_hook(nullptr);
  }

  void SetUp() override {
    dir_ = fresh_test_dir("mdq_faults_run_");
    base_ = (dir_ / "run").string();
    reset_run_settings(base_);
  }
  void TearDown() override {
    if (run_worker_id() != 0) stop_within(10s);
    sim::simcrate_status_never_ready(false);
    sim::simcrate_suppress_global_trailer(false);
    sim::simcrate_fail_address(kTdcStatus, false);
    daq_set_free_space_probe(nullptr);
    daq_set_max_board_failures(kDefaultMaxBoardFailures);
    easiroc_settings().recvTimeoutMs = 1000;
    stand_board().faults().closeMidFrame = false;
    stdfs::remove_all(dir_);
  }

  // Per repetition: a fresh file name, the veto on, a fresh board
  // connection (frames of an earlier run's extra triggers go with the old).
  void prepare(int rep, int nev) {
    run_state().reset();
    ntics = 0;
    SetCtrlVal(p1h, P1_RUN, 0);
    SetCtrlVal(p1h, P1_EVENT, 0);
    SetCtrlVal(p1h, P1_NEV, nev);
    file_ = base_ + std::to_string(rep);
    SetCtrlVal(p1h, P1_FILE, file_.c_str());
    std::uint16_t one = 1;
    EXPECT_EQ(WIENVME_write16(hHandle24, 1, kPio, &one), 0);
    auto& source = sim::shared_trigger_source();
    source.setRate(0);
    source.reset();
    ConsoleCapture quiet;
    reconnect_board(stand_board());
    sim::simcrate_clear_cycles();
  }
  std::string file(int n = 1) const { return run_file_name(file_, n); }

  static void start() { start_run(); }
  static Ms stop_within(std::chrono::seconds limit) { return stop_run_within(limit); }
  // A run that must end by itself within `bound` (+ slack).
  static bool run_to_end(Ms bound) {
    start();
    const bool ended = wait_until(run_idle, bound + kSlack);
    EXPECT_TRUE(ended) << "the run did not end within " << bound.count() << " ms + slack";
    if (!ended) stop_within(10s);
    return ended;
  }

  stdfs::path dir_;
  std::string base_, file_;
};

// The operator's stop while the run waits for a trigger: the trigger wait
// looks at the run flag at every status poll, so the stop costs one event
// cycle, the end record and the veto.
constexpr Ms kStopBound{200};

TEST_F(StandFaults, TdcNeverReady) {
  sim::simcrate_status_never_ready(true);
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    prepare(rep, 10);
    start();
    ASSERT_TRUE(wait_until(in_trigger_wait, 5s));
    const Ms took = stop_within(10s);
    EXPECT_LE(took.count(), (kStopBound + kSlack).count()) << "operator stop took " << took.count();
    EXPECT_TRUE(run_idle());
    EXPECT_EQ(ctrl(P1_RUN), 0);
    const auto s = scan_run_file(file());
    ASSERT_TRUE(s.complete) << s.error;
    ASSERT_EQ(s.records.size(), 3u) << "header, position, end: no event invented";
  }
}

TEST_F(StandFaults, TdcNeverSendsATrailer) {
  sim::simcrate_suppress_global_trailer(true);
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    prepare(rep, 2);
    ConsoleCapture con;
    // Each event's read-out stops after kTdcMaxWordsPerReadout words.
    ASSERT_TRUE(run_to_end(Ms(2000)));
    const std::string line = "TDC read-out: 1 global trailer(s) of 1 missing after " +
                             std::to_string(kTdcMaxWordsPerReadout) + " words";
    EXPECT_EQ(count_of(con.text(), line), 2u) << con.text().substr(0, 600);
    const auto s = scan_run_file(file());
    ASSERT_TRUE(s.complete) << s.error;
    expect_whole_events(s);
    EXPECT_EQ(of_type(s, EVTREC_ID).size(), 2u);
  }
}

TEST_F(StandFaults, TdcStatusReadFailing) {
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    prepare(rep, 10);
    SetCtrlVal(p1h, P1_NX, 1 + rep % 3);
    sim::simcrate_fail_address(kTdcStatus, true);
    ConsoleCapture con;
    const bool ended = run_to_end(Ms(500));
    sim::simcrate_fail_address(kTdcStatus, false);
    ASSERT_TRUE(ended);
    EXPECT_EQ(count_of(con.text(), "Run stopped: the TDC status cannot be read."), 1u)
        << con.text();
    EXPECT_EQ(ctrl(P1_RUN), 0);
    EXPECT_EQ(pio_output(), 1) << "the veto stays on";
    const auto s = scan_run_file(file());
    ASSERT_TRUE(s.complete) << s.error;
    EXPECT_EQ(of_type(s, EVTREC_ID).size(), 0u);
  }
}

TEST_F(StandFaults, RunFileDiskFull) {
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    prepare(rep, 1000);
    const rlim_t limit = 5000 + 1237 * rlim_t(rep);  // rarely a record boundary
    ConsoleCapture con;
    bool ended = false;
    {
      FileSizeLimit fsize(limit);
      ASSERT_TRUE(fsize.ok());
      ended = run_to_end(Ms(3000));
    }
    ASSERT_TRUE(ended);
    const std::string text = con.text();
    EXPECT_TRUE(has(text, "Run ended early")) << text;
    EXPECT_TRUE(has(text, "NOT recorded")) << text;
    EXPECT_EQ(ctrl(P1_RUN), 0);
    EXPECT_EQ(pio_output(), 1);
    EXPECT_LT(ctrl(P1_EVENT), 1000) << "the run went on after its data stopped being kept";
    const auto s = scan_run_file(file());
    EXPECT_EQ(s.size, limit);
    const std::uint64_t whole = (limit - kRunRecSize - kPosRecSize) / kEvtRecSize;
    ASSERT_EQ(s.records.size(), 2u + whole) << "every whole record before the limit is readable";
    expect_whole_events(s);
  }
  // With room again the next run works.
  prepare(kReps, 5);
  ASSERT_TRUE(run_to_end(Ms(2000)));
  const auto again = scan_run_file(file());
  EXPECT_TRUE(again.complete) << again.error;
  EXPECT_EQ(of_type(again, EVTREC_ID).size(), 5u);
}

TEST_F(StandFaults, RunFileUnwritableDirectory) {
  // A directory that does not exist, and a "directory" that is a file: root
  // writes through permission bits, so these are the unwritable cases here.
  std::ofstream(dir_ / "plainfile") << "x";
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    prepare(rep, 10);
    const std::string base = rep % 2 == 0 ? (dir_ / "no_such_dir" / "run").string()
                                          : (dir_ / "plainfile" / "run").string();
    SetCtrlVal(p1h, P1_FILE, base.c_str());
    SetCtrlVal(p1h, P1_NX, 2);
    ConsoleCapture con;
    ASSERT_TRUE(run_to_end(Ms(200)));
    const std::string text = con.text();
    EXPECT_TRUE(has(text, "Run not started")) << text;
    EXPECT_FALSE(has(text, "run file: ")) << text;
    EXPECT_EQ(ctrl(P1_RUN), 0);
    EXPECT_EQ(sim::shared_trigger_source().generated(), 0u) << "a trigger was taken";
    EXPECT_EQ(pio_output(), 1) << "the veto was released";
    EXPECT_FALSE(stdfs::exists(run_file_name(base, 1)));
  }
}

std::atomic<std::int64_t> g_free{0};
std::int64_t fake_free(const std::string&) { return g_free.load(); }

TEST_F(StandFaults, RunFileFreeSpaceMargin) {
  daq_set_free_space_probe(fake_free);
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    // Too little room at the start: refused, nothing taken.
    prepare(rep, 100000);
    g_free = kDefaultMinFreeBytes - 1 - rep;
    {
      ConsoleCapture con;
      ASSERT_TRUE(run_to_end(Ms(200)));
      EXPECT_TRUE(has(con.text(), "Run not started: only ")) << con.text();
      EXPECT_FALSE(stdfs::exists(file()));
      EXPECT_EQ(sim::shared_trigger_source().generated(), 0u);
      EXPECT_EQ(pio_output(), 1);
    }
    if (rep % 3 != 0) continue;  // the mid-run case takes a thousand events
    // Room at the start, gone mid-run: ends at the next thousandth event.
    g_free = 5'000'000'000;
    ConsoleCapture con;
    start();
    ASSERT_TRUE(wait_until([] { return ctrl(P1_EVENT) >= 100; }, 10s));
    g_free = 1'000'000;
    // The check comes with the roll-over test, every thousandth event.
    ASSERT_TRUE(wait_until(run_idle, 10s));
    EXPECT_TRUE(has(con.text(), "Run stopped: only 1.0 MB free")) << con.text();
    EXPECT_EQ(ctrl(P1_RUN), 0);
    const auto s = scan_run_file(file());
    ASSERT_TRUE(s.complete) << s.error;
    expect_whole_events(s);
    const auto events = of_type(s, EVTREC_ID);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().evt.nev % 1000, 0u);
  }
}

TEST_F(StandFaults, BoardStopsAnsweringMidRun) {
  constexpr int kMaxFailures = 3;
  constexpr int kTimeoutMs = 100;
  for (int rep = 0; rep < kReps; ++rep) {
    REP_TRACE(rep);
    prepare(rep, 1000000);
    easiroc_settings().recvTimeoutMs = kTimeoutMs;
    daq_set_max_board_failures(kMaxFailures);
    ConsoleCapture con;
    start();
    ASSERT_TRUE(wait_until([&] { return ctrl(P1_EVENT) >= 5 + rep; }, 10s));
    stand_board().faults().closeMidFrame = true;
    const auto t0 = Clock::now();
    // Each failed read costs at most one frame time-out (header and body).
    const bool ended = wait_until(run_idle, Ms(kMaxFailures * 2 * kTimeoutMs) + kSlack);
    const Ms took = since(t0);
    stand_board().faults().closeMidFrame = false;
    easiroc_settings().recvTimeoutMs = 1000;
    ASSERT_TRUE(ended) << "the run went on without the board (" << took.count() << " ms)";
    const std::string text = con.text();
    // A closed link is said at once, not after the failures-in-a-row limit.
    EXPECT_TRUE(has(text, "Run stopped: the board closed the connection at event")) << text;
    EXPECT_FALSE(has(text, "times in a row")) << text;
    EXPECT_EQ(ctrl(P1_RUN), 0);
    EXPECT_EQ(pio_output(), 1);
    const auto s = scan_run_file(file());
    EXPECT_TRUE(s.complete) << s.error;
    expect_whole_events(s);
  }
}

}  // namespace
