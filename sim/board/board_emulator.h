// EASIROC board emulator: a TCP server on 127.0.0.1 that behaves as the
// board does at the byte level. Register words (bit 31 set) are acknowledged
// and recorded; the slow-control, read-register and probe streams are
// reassembled per chip; the start word makes it stream one event frame per
// trigger until the stop word. One client at a time (a new one replaces the
// old), as the board's TCP stack does.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "../trigger_source.h"

namespace mdq::sim {

// Where the emulator's events come from: the next trigger, waiting at most
// `timeout`; nullopt when none fired.
using AdcFrameSource =
    std::function<std::optional<TriggerRecord>(std::chrono::milliseconds timeout)>;

// Built-in free-running source: triggers at `rateHz` (0 = as fast as asked)
// with pedestal + signal ADC values.
AdcFrameSource free_running_source(double rateHz, std::uint64_t seed = 1);
// The process-wide shared trigger source.
AdcFrameSource shared_trigger_frames();

// Data word of one ADC value: gain 0 -> type 0x81, gain 1 -> type 0x60.
std::uint32_t board_adc_word(int channel, int gain, unsigned value);
// The frame the emulator sends for a trigger: magic, N, event number, then
// 2 words (both gains) for each of channels 0..31.
std::vector<std::uint32_t> board_frame(const TriggerRecord& rec);

struct RegisterWrite {
  std::uint8_t address;
  std::uint8_t value;
};

// What the emulator has received, for tests to compare.
struct BoardRecord {
  std::vector<RegisterWrite> writes;                    // every register word, in order
  std::array<std::vector<std::uint8_t>, 2> slowControl;  // last complete stream per chip
  std::array<std::vector<std::uint8_t>, 2> readRegister;
  std::array<std::vector<std::uint8_t>, 2> probe;
  std::array<int, 2> slowControlCount{};
  std::array<int, 2> readRegisterCount{};
  std::array<int, 2> probeCount{};
  std::array<std::uint8_t, 256> registers{};  // last value per address
  std::vector<std::uint32_t> rawCommands;     // words without the write flag
  int starts = 0;
  int stops = 0;
  std::uint64_t framesSent = 0;
  int connections = 0;
};

// Faults to inject; all may be changed while running.
struct BoardFaults {
  std::atomic<bool> noAck{false};
  std::atomic<int> ackBytes{4};          // 1..4 bytes of acknowledgement
  std::atomic<int> splitBytes{0};        // >0: send in pieces of this many bytes...
  std::atomic<int> splitPauseUs{300};    // ...with this pause between them
  std::atomic<int> corruptMagicFrames{0};  // the next k frames carry a wrong magic
  std::atomic<int> oversizedFrames{0};     // the next k frames carry 1200 data words
  std::atomic<int> hugeFrames{0};          // the next k frames carry 150 data words
  std::atomic<std::uint64_t> corruptMagicAtFrame{0};  // frame number k (1 = first sent)
  std::atomic<std::uint64_t> oversizedAtFrame{0};
  std::atomic<bool> closeMidFrame{false};  // send half of the next frame, then close
  std::atomic<int> replyDelayMs{0};        // before every acknowledgement and frame
  std::atomic<bool> ignoreStop{false};     // keeps streaming after the stop words
};

class BoardEmulator {
 public:
  struct Options {
    int port = 0;  // 0 = OS-chosen
    double freeRunRateHz = 1000;
    std::uint64_t seed = 1;
    // Frames queued ahead of the client at most (bytes); the board's own buffer.
    std::size_t maxQueuedBytes = 256 * 1024;
  };

  BoardEmulator();
  explicit BoardEmulator(Options options);
  ~BoardEmulator();
  BoardEmulator(const BoardEmulator&) = delete;
  BoardEmulator& operator=(const BoardEmulator&) = delete;

  // Binds 127.0.0.1 and starts serving. false (with a console line) on failure.
  bool start();
  // Closes the client and the listener; joins the thread. Idempotent.
  void stop();
  bool running() const { return running_.load(); }
  int port() const { return port_.load(); }

  // Replaces the event source (any time; takes effect at the next frame).
  void setFrameSource(AdcFrameSource source);
  BoardFaults& faults() { return faults_; }

  BoardRecord record() const;
  void clearRecord();
  bool streaming() const { return streaming_.load(); }
  // Waits until pred(record()) holds or the time-out passes.
  bool waitFor(const std::function<bool(const BoardRecord&)>& pred,
               std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  void run();
  void acceptClient();
  void dropClient();
  // false: the client is gone.
  bool receive();
  bool sendQueued();
  void handleWord(std::uint32_t w);
  void recordRegisterWrite(std::uint8_t address, std::uint8_t value);
  void replyDelay();
  void frameWithFaults(const TriggerRecord& r);
  void queueFrame(const TriggerRecord& r);
  void queueFrames();

  Options options_;
  BoardFaults faults_;
  std::unique_ptr<Impl> impl_;
  std::atomic<bool> running_{false};
  std::atomic<bool> streaming_{false};
  std::atomic<int> port_{0};
};

}  // namespace mdq::sim
