// Shared set-up for the EASIROC tests: short time-outs, an emulator on an
// OS-chosen loopback port, and a deterministic event source.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "backend.h"
#include "board_emulator.h"
#include "easiroc.h"
#include "platform.h"
#include "board_link.h"

namespace easiroc_test {

using mdq::sim::AdcFrameSource;
using mdq::sim::BoardEmulator;
using mdq::sim::TriggerRecord;

inline TriggerRecord numbered_record(std::uint64_t n) {
  TriggerRecord r;
  r.number = n;
  for (int ch = 0; ch < 64; ++ch) {
    r.adc[ch][0] = std::uint16_t((n * 7 + ch * 13) & 0xFFF);
    r.adc[ch][1] = std::uint16_t((n * 3 + ch) & 0xFFF);
  }
  return r;
}

// Frames 1, 2, 3, ... at `rateHz`, like a board seeing triggers (an
// unthrottled source would fill the loopback buffers with megabytes that
// every drain then has to read).
inline AdcFrameSource counting_source(double rateHz = 5000) {
  struct State {
    std::uint64_t n = 0;
    std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();
  };
  auto st = std::make_shared<State>();
  return [st, rateHz](std::chrono::milliseconds timeout) -> std::optional<TriggerRecord> {
    auto due = st->t0 + std::chrono::microseconds(std::int64_t(1e6 * double(st->n) / rateHz));
    auto now = std::chrono::steady_clock::now();
    if (due > now + timeout) {
      std::this_thread::sleep_for(timeout);
      return std::nullopt;
    }
    if (due < now - std::chrono::milliseconds(20)) st->t0 = now - (due - st->t0);  // no catch-up burst
    std::this_thread::sleep_until(due);
    return numbered_record(++st->n);
  };
}

inline std::vector<std::uint8_t> frame_bytes(std::uint64_t n) {
  std::vector<std::uint8_t> b;
  for (std::uint32_t w : mdq::sim::board_frame(numbered_record(n)))
    for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(w >> (8 * i)));
  return b;
}

inline std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline void fast_settings() {
  easiroc_reset_settings();
  EasirocSettings& s = easiroc_settings();
  s.recvTimeoutMs = 150;
  s.connectTimeoutMs = 1000;
  s.ackPauseUs = 200;
  s.streamBytePauseUs = 0;
  s.startPauseUs = 2000;
  s.framePauseUs = 0;
  s.frameDump = EasirocSettings::FrameDump::None;
}

class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mdq::platform::reset_for_tests();
    fast_settings();
    BoardEmulator::Options o;
    o.maxQueuedBytes = 4096;
    board_ = std::make_unique<BoardEmulator>(o);
    board_->setFrameSource(counting_source());
    ASSERT_TRUE(board_->start());
    board_link().tcpPort = board_->port();
    dir_ = std::filesystem::temp_directory_path() /
           ("mdq_easiroc_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    if (easiroc_Connected()) easiroc_Close();
    board_->stop();
    std::filesystem::remove_all(dir_);
    easiroc_set_progress_hook(nullptr, nullptr);
    easiroc::board().ForceStop = 0;
  }
  void connect() {
    ASSERT_EQ(easiroc_Connect("127.0.0.1"), 0);
    ASSERT_TRUE(board_->waitFor([](const auto& r) { return r.connections >= 1; },
                                std::chrono::seconds(2)));
  }
  std::string path(const char* name) const { return (dir_ / name).string(); }

  std::unique_ptr<BoardEmulator> board_;
  std::filesystem::path dir_;
};

}  // namespace easiroc_test
