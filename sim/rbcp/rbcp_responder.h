// The board's RBCP side on the loopback interface: a register file behind a
// UDP responder, with the bias supply (DAC and monitor ADC) modelled, and
// fault switches for tests.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace mdq::sim {

class RbcpResponder {
 public:
  RbcpResponder();
  ~RbcpResponder();
  RbcpResponder(const RbcpResponder&) = delete;
  RbcpResponder& operator=(const RbcpResponder&) = delete;

  // Binds 127.0.0.1:port (0 = chosen by the system) and starts answering.
  // 0 on success, -1 when the socket cannot be bound or already running.
  int start(std::uint16_t port = 0);
  // Stops the thread and closes the socket; returns within ~50 ms.
  void stop();
  bool running() const { return thread_.joinable(); }
  std::uint16_t port() const { return port_; }

  // Traffic seen, for tests.
  std::uint64_t datagramsReceived() const { return received_.load(); }
  std::uint64_t repliesSent() const { return sent_.load(); }
  std::uint64_t writesReceived() const { return writes_.load(); }
  std::uint64_t readsReceived() const { return reads_.load(); }
  // Waits until at least n replies have gone out (or the time-out passes).
  bool waitForReplies(std::uint64_t n, std::chrono::milliseconds timeout) const;

  std::uint8_t reg(std::uint32_t address) const;
  void setReg(std::uint32_t address, std::uint8_t value);
  // Written (address, value) pairs in order of arrival.
  std::vector<std::pair<std::uint32_t, std::uint8_t>> writeLog() const;
  void clearWriteLog();

  // Bias supply: output voltage set by the last applied DAC code.
  double biasVolts() const;
  int appliedDacCode() const;
  // Load current per volt of bias (default 0.04 uA/V) and noise amplitude of
  // the monitor ADC in codes (default 2; 0 = exact).
  void setLoad(double microampsPerVolt);
  void setMadcNoise(int codes);

  // Fault switches; each applies to the next n requests.
  void dropNextReplies(int n);
  void delayNextReplies(int n, std::chrono::milliseconds delay);
  // Sends a reply to the previous request (old id, address, stale data)
  // just before the proper one.
  void staleBeforeNextReplies(int n);
  // Sends only the 8 header bytes, no data.
  void shortNextReplies(int n);
  // Echoes every datagram unchanged instead of answering it (a bare UDP
  // round trip for comparison).
  void setEcho(bool on) { echo_.store(on); }

  // Conversion constants of the board's supply.
  static constexpr double kDacPerVolt = 483.183;
  static constexpr double kDacAtZero = 780.0;
  static constexpr double kVoltsPerCode = 0.00208;
  static constexpr double kMicroampsPerCode = 0.034;

 private:
  struct Pending {
    std::chrono::steady_clock::time_point due;
    std::vector<std::uint8_t> bytes;
    sockaddr_in to;
  };
  // What the injected faults make of the next reply.
  struct ReplyFaults {
    bool drop = false;
    bool cut = false;
    std::vector<std::uint8_t> stale;  // sent first when not empty
    std::chrono::milliseconds delay{0};
  };
  void run();
  // Sends the delayed replies now due; returns how long to wait for the next.
  int sendDueReplies();
  ReplyFaults takeReplyFaults(const std::vector<std::uint8_t>& reply);
  void respond(const std::uint8_t* req, std::size_t n, const sockaddr_in& from);
  // Builds the reply for one request; false when it is not an RBCP request.
  bool answer(const std::uint8_t* req, std::size_t n, std::vector<std::uint8_t>* reply);
  void applyWrite(std::uint32_t address, std::uint8_t value);
  void convert();
  void sendTo(const std::vector<std::uint8_t>& bytes, const void* to);

  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> echo_{false};
  std::atomic<std::uint64_t> received_{0}, sent_{0}, writes_{0}, reads_{0};
  mutable std::mutex sentMutex_;
  mutable std::condition_variable sentCv_;

  mutable std::mutex mutex_;  // guards everything below
  std::array<std::uint8_t, 256> regs_{};
  std::vector<std::pair<std::uint32_t, std::uint8_t>> writeLog_;
  int dacCode_ = 0;
  double volts_ = 0;
  double loadMicroampsPerVolt_ = 0.04;
  int noiseCodes_ = 2;
  std::mt19937 rng_{12345};
  int drop_ = 0, delayN_ = 0, stale_ = 0, short_ = 0;
  std::chrono::milliseconds delay_{0};
  std::vector<std::uint8_t> lastReply_;
  std::vector<Pending> pending_;
};

}  // namespace mdq::sim
