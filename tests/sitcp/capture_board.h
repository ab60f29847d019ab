// A minimal board on 127.0.0.1 that records every request byte for byte and
// answers it: writes are echoed, reads served from a fixed register map.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "sitcp.h"
#include "board_link.h"

class CaptureBoard {
 public:
  CaptureBoard() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~CaptureBoard() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  std::uint16_t port() const { return port_; }
  void setReg(int address, std::uint8_t v) {
    std::lock_guard lk(m_);
    regs_[address & 0xFF] = v;
  }
  // The next n requests are recorded but get no reply.
  void ignoreNext(int n) { ignore_ = n; }
  std::vector<std::vector<std::uint8_t>> requests() const {
    std::lock_guard lk(m_);
    return requests_;
  }

 private:
  void run() {
    std::uint8_t buf[2048];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      sockaddr_in from{};
      socklen_t fl = sizeof from;
      ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
      if (n < 9) continue;
      std::vector<std::uint8_t> reply(buf, buf + 9);
      reply[1] |= 0x08;
      {
        std::lock_guard lk(m_);
        requests_.emplace_back(buf, buf + n);
        if ((buf[1] & 0xC0) == 0xC0) reply[8] = regs_[buf[7]];
      }
      if (ignore_ > 0) {
        --ignore_;
        continue;
      }
      sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
    }
  }
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> ignore_{0};
  mutable std::mutex m_;
  std::array<std::uint8_t, 256> regs_{};
  std::vector<std::vector<std::uint8_t>> requests_;
  std::thread thread_;
};

// Points the link at 127.0.0.1:port with a short reply time-out and opens it.
inline void open_test_link(std::uint16_t port, std::chrono::milliseconds timeout) {
  board_link().address = "127.0.0.1";
  board_link().udpPort = port;
  sitcp_settings().replyTimeout = timeout;
  SiTCPSetIPPort(board_link().host(), 24, port);
  SiTCPCreateUDPSock();
}
