#include "rbcp_responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace mdq::sim {

namespace {
constexpr std::uint8_t kAck = 0x08;
std::uint32_t be32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
}  // namespace

RbcpResponder::RbcpResponder() = default;
RbcpResponder::~RbcpResponder() { stop(); }

int RbcpResponder::start(std::uint16_t port) {
  if (thread_.joinable()) return -1;
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(fd_);
    fd_ = -1;
    return -1;
  }
  port_ = ntohs(a.sin_port);
  stop_.store(false);
  thread_ = std::thread([this] { run(); });
  return 0;
}

void RbcpResponder::stop() {
  if (!thread_.joinable()) return;
  stop_.store(true);
  thread_.join();
  close(fd_);
  fd_ = -1;
  std::lock_guard lk(mutex_);
  pending_.clear();
}

bool RbcpResponder::waitForReplies(std::uint64_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lk(sentMutex_);
  return sentCv_.wait_for(lk, timeout, [&] { return sent_.load() >= n; });
}

std::uint8_t RbcpResponder::reg(std::uint32_t address) const {
  std::lock_guard lk(mutex_);
  return address < regs_.size() ? regs_[address] : 0;
}

void RbcpResponder::setReg(std::uint32_t address, std::uint8_t value) {
  std::lock_guard lk(mutex_);
  if (address < regs_.size()) regs_[address] = value;
}

std::vector<std::pair<std::uint32_t, std::uint8_t>> RbcpResponder::writeLog() const {
  std::lock_guard lk(mutex_);
  return writeLog_;
}

void RbcpResponder::clearWriteLog() {
  std::lock_guard lk(mutex_);
  writeLog_.clear();
}

double RbcpResponder::biasVolts() const {
  std::lock_guard lk(mutex_);
  return volts_;
}

int RbcpResponder::appliedDacCode() const {
  std::lock_guard lk(mutex_);
  return dacCode_;
}

void RbcpResponder::setLoad(double microampsPerVolt) {
  std::lock_guard lk(mutex_);
  loadMicroampsPerVolt_ = microampsPerVolt;
}

void RbcpResponder::setMadcNoise(int codes) {
  std::lock_guard lk(mutex_);
  noiseCodes_ = std::max(0, codes);
}

void RbcpResponder::dropNextReplies(int n) {
  std::lock_guard lk(mutex_);
  drop_ = n;
}

void RbcpResponder::delayNextReplies(int n, std::chrono::milliseconds delay) {
  std::lock_guard lk(mutex_);
  delayN_ = n;
  delay_ = delay;
}

void RbcpResponder::staleBeforeNextReplies(int n) {
  std::lock_guard lk(mutex_);
  stale_ = n;
}

void RbcpResponder::shortNextReplies(int n) {
  std::lock_guard lk(mutex_);
  short_ = n;
}

// Called with mutex_ held.
void RbcpResponder::applyWrite(std::uint32_t address, std::uint8_t value) {
  writeLog_.emplace_back(address, value);
  if (address >= regs_.size()) return;
  regs_[address] = value;
  if (address == 0x1E && value == 1) {
    dacCode_ = regs_[0x10] * 256 + regs_[0x11];
    volts_ = std::max(0.0, (dacCode_ - kDacAtZero) / kDacPerVolt);
  } else if (address == 0x1F && value == 1) {
    convert();
  }
}

// One monitor-ADC conversion of the channel selected in 0x12 (mutex_ held).
void RbcpResponder::convert() {
  double code = 0;
  switch (regs_[0x12]) {
    case 3: code = volts_ / kVoltsPerCode; break;
    case 4: code = volts_ * loadMicroampsPerVolt_ / kMicroampsPerCode; break;
    default: break;
  }
  if (noiseCodes_ > 0)
    code += std::uniform_int_distribution<int>(-noiseCodes_, noiseCodes_)(rng_);
  const int c = std::clamp(static_cast<int>(code), 0, 65535);
  regs_[0x04] = static_cast<std::uint8_t>(c >> 8);
  regs_[0x05] = static_cast<std::uint8_t>(c & 0xFF);
}

bool RbcpResponder::answer(const std::uint8_t* req, std::size_t n,
                           std::vector<std::uint8_t>* reply) {
  if (n < 8 || req[0] != 0xFF) return false;
  const std::uint8_t command = req[1] & 0xC0;
  const std::size_t len = req[3];
  const std::uint32_t address = be32(req + 4);
  reply->assign(req, req + 8);
  (*reply)[1] = static_cast<std::uint8_t>(req[1] | kAck);
  std::lock_guard lk(mutex_);
  if (command == 0x80) {
    if (n < 8 + len) return false;
    ++writes_;
    for (std::size_t i = 0; i < len; ++i) {
      applyWrite(address + std::uint32_t(i), req[8 + i]);
      reply->push_back(req[8 + i]);
    }
    return true;
  }
  if (command == 0xC0) {
    ++reads_;
    for (std::size_t i = 0; i < len; ++i) {
      const std::uint32_t a = address + std::uint32_t(i);
      reply->push_back(a < regs_.size() ? regs_[a] : 0);
    }
    return true;
  }
  return false;
}

void RbcpResponder::sendTo(const std::vector<std::uint8_t>& bytes, const void* to) {
  sendto(fd_, bytes.data(), bytes.size(), 0, static_cast<const sockaddr*>(to),
         sizeof(sockaddr_in));
  {
    std::lock_guard lk(sentMutex_);
    ++sent_;
  }
  sentCv_.notify_all();
}

int RbcpResponder::sendDueReplies() {
  int waitMs = 20;  // bounds how long stop() takes
  std::vector<Pending> due;
  {
    std::lock_guard lk(mutex_);
    const auto now = std::chrono::steady_clock::now();
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->due <= now) {
        due.push_back(std::move(*it));
        it = pending_.erase(it);
      } else {
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(it->due - now).count();
        waitMs = std::min<int>(waitMs, static_cast<int>(ms));
        ++it;
      }
    }
  }
  for (const Pending& p : due) sendTo(p.bytes, &p.to);
  return waitMs;
}

RbcpResponder::ReplyFaults RbcpResponder::takeReplyFaults(const std::vector<std::uint8_t>& reply) {
  ReplyFaults f;
  std::lock_guard lk(mutex_);
  if (drop_ > 0) {
    --drop_;
    f.drop = true;
  } else {
    if (stale_ > 0) {
      --stale_;
      f.stale = lastReply_;
      if (f.stale.size() < 9) {  // no earlier reply: invent one for another register
        f.stale = reply;
        f.stale.resize(9);
        f.stale[2] ^= 0x01;
        f.stale[7] ^= 0x01;
      }
      f.stale[8] = static_cast<std::uint8_t>(reply.size() > 8 ? reply[8] ^ 0xFF : 0xA5);
    }
    if (short_ > 0) {
      --short_;
      f.cut = true;
    }
    if (delayN_ > 0) {
      --delayN_;
      f.delay = delay_;
    }
  }
  lastReply_ = reply;
  return f;
}

void RbcpResponder::respond(const std::uint8_t* req, std::size_t n, const sockaddr_in& from) {
  std::vector<std::uint8_t> reply;
  if (!answer(req, n, &reply)) return;
  ReplyFaults f = takeReplyFaults(reply);
  if (f.drop) return;
  if (!f.stale.empty()) sendTo(f.stale, &from);
  if (f.cut) reply.resize(8);
  if (f.delay.count() > 0) {
    Pending pd{std::chrono::steady_clock::now() + f.delay, std::move(reply), from};
    std::lock_guard lk(mutex_);
    pending_.push_back(std::move(pd));
  } else {
    sendTo(reply, &from);
  }
}

void RbcpResponder::run() {
  std::uint8_t buf[2048];
  while (!stop_.load()) {
    const int waitMs = sendDueReplies();
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) continue;
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n = recvfrom(fd_, buf, sizeof buf, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0) continue;
    ++received_;
    if (echo_.load()) sendTo(std::vector<std::uint8_t>(buf, buf + n), &from);
    else respond(buf, static_cast<std::size_t>(n), from);
  }
}

}  // namespace mdq::sim
