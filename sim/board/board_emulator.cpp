#include "board_emulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

namespace mdq::sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kMagic = 0xFFFFEA0Cu;
constexpr std::uint32_t kStart = 0x20640000u;
constexpr std::uint32_t kStop1 = 0x10640000u;

TriggerRecord make_record(std::mt19937_64& rng, std::uint64_t number) {
  TriggerRecord r;
  r.number = number;
  std::normal_distribution<double> noise(0.0, 6.0);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int ch = 0; ch < 64; ++ch) {
    double ped = 780 + 3.0 * (ch % 11);
    // A few photo-electrons on some channels; low gain sees a tenth.
    double signal = 0;
    if (u(rng) < 0.3) {
      int npe = 1 + int(-std::log(1 - u(rng) * 0.999) * 1.5);
      signal = npe * 38.0 + noise(rng) * 2;
    }
    double hg = ped + noise(rng) + signal;
    double lg = ped - 20 + noise(rng) * 0.5 + signal / 10.0;
    r.adc[ch][0] = std::uint16_t(std::clamp(hg, 0.0, 4095.0));
    r.adc[ch][1] = std::uint16_t(std::clamp(lg, 0.0, 4095.0));
  }
  return r;
}

}  // namespace

AdcFrameSource free_running_source(double rateHz, std::uint64_t seed) {
  struct State {
    std::vector<TriggerRecord> pool;
    std::uint64_t next = 0;
    double rate = 0;
    Clock::time_point t0 = Clock::now();
  };
  auto st = std::make_shared<State>();
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 256; ++i) st->pool.push_back(make_record(rng, 0));
  st->rate = rateHz;
  return [st](std::chrono::milliseconds timeout) -> std::optional<TriggerRecord> {
    if (st->rate > 0) {
      auto due = st->t0 + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(double(st->next) / st->rate));
      auto now = Clock::now();
      if (due > now + timeout) {
        std::this_thread::sleep_for(timeout);
        return std::nullopt;
      }
      if (due > now) std::this_thread::sleep_until(due);
    }
    TriggerRecord r = st->pool[st->next % st->pool.size()];
    r.number = ++st->next;
    return r;
  };
}

std::uint32_t board_adc_word(int channel, int gain, unsigned value) {
  std::uint32_t type = gain == 0 ? 0x81u : 0x60u;
  return type << 24 | std::uint32_t(channel & 0x1F) << 16 | (value & 0xFFF);
}

namespace {

void frame_into(const TriggerRecord& rec, std::vector<std::uint32_t>& w) {
  w.clear();
  w.push_back(kMagic);
  w.push_back(64);
  w.push_back(std::uint32_t(rec.number));
  for (int ch = 0; ch < 32; ++ch) {
    w.push_back(board_adc_word(ch, 0, rec.adc[ch][0]));
    w.push_back(board_adc_word(ch, 1, rec.adc[ch][1]));
  }
}

}  // namespace

std::vector<std::uint32_t> board_frame(const TriggerRecord& rec) {
  std::vector<std::uint32_t> w;
  w.reserve(3 + 64);
  frame_into(rec, w);
  return w;
}

struct BoardEmulator::Impl {
  int listenFd = -1;
  int clientFd = -1;
  int wakeFd = -1;
  std::thread thread;
  std::atomic<bool> stopRequested{false};

  mutable std::mutex mu;  // guards rec and source
  BoardRecord rec;
  AdcFrameSource source;

  std::vector<std::uint8_t> in;
  std::vector<std::uint8_t> out;
  std::size_t outHead = 0;
  bool closeAfterFlush = false;
  std::vector<std::uint8_t> pendingStream;
  std::vector<std::uint8_t> pendingRead;
  std::uint64_t frameNumber = 0;
  std::vector<std::uint32_t> frameWords;  // the frame being queued

  std::size_t queued() const { return out.size() - outHead; }
};

BoardEmulator::BoardEmulator() : BoardEmulator(Options{}) {}

BoardEmulator::BoardEmulator(Options options) : options_(options), impl_(new Impl) {
  impl_->source = free_running_source(options.freeRunRateHz, options.seed);
}

BoardEmulator::~BoardEmulator() { stop(); }

void BoardEmulator::setFrameSource(AdcFrameSource source) {
  std::lock_guard lk(impl_->mu);
  impl_->source = std::move(source);
}

BoardRecord BoardEmulator::record() const {
  std::lock_guard lk(impl_->mu);
  return impl_->rec;
}

void BoardEmulator::clearRecord() {
  std::lock_guard lk(impl_->mu);
  int connections = impl_->rec.connections;
  impl_->rec = BoardRecord{};
  impl_->rec.connections = connections;
}

bool BoardEmulator::waitFor(const std::function<bool(const BoardRecord&)>& pred,
                            std::chrono::milliseconds timeout) const {
  auto deadline = Clock::now() + timeout;
  while (true) {
    if (pred(record())) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool BoardEmulator::start() {
  if (running_.load()) return true;
  Impl& m = *impl_;
  m.listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m.listenFd < 0) {
    std::fprintf(stderr, "board emulator: socket: %s\n", std::strerror(errno));
    return false;
  }
  int one = 1;
  setsockopt(m.listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(std::uint16_t(options_.port));
  if (bind(m.listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(m.listenFd, 4) != 0) {
    std::fprintf(stderr, "board emulator: cannot listen on 127.0.0.1:%d: %s\n", options_.port,
                 std::strerror(errno));
    close(m.listenFd);
    m.listenFd = -1;
    return false;
  }
  socklen_t len = sizeof a;
  getsockname(m.listenFd, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  m.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  m.stopRequested = false;
  running_ = true;
  m.thread = std::thread([this] { run(); });
  return true;
}

void BoardEmulator::stop() {
  Impl& m = *impl_;
  if (!m.thread.joinable()) return;
  m.stopRequested = true;
  std::uint64_t one = 1;
  if (write(m.wakeFd, &one, sizeof one) < 0) {
  }
  m.thread.join();
  if (m.clientFd >= 0) close(m.clientFd);
  if (m.listenFd >= 0) close(m.listenFd);
  if (m.wakeFd >= 0) close(m.wakeFd);
  m.clientFd = m.listenFd = m.wakeFd = -1;
  running_ = false;
  streaming_ = false;
}

void BoardEmulator::dropClient() {
  Impl& m = *impl_;
  if (m.clientFd >= 0) close(m.clientFd);
  m.clientFd = -1;
  m.in.clear();
  m.out.clear();
  m.outHead = 0;
  m.closeAfterFlush = false;
  m.pendingStream.clear();
  m.pendingRead.clear();
  streaming_ = false;
}

void BoardEmulator::replyDelay() {
  const int ms = faults_.replyDelayMs.load();
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void BoardEmulator::acceptClient() {
  Impl& m = *impl_;
  const int fd = accept4(m.listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  dropClient();  // one client at a time: the newest wins
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  m.clientFd = fd;
  std::lock_guard lk(m.mu);
  ++m.rec.connections;
}

namespace {

// The chip the select register (address 0) names; -1 for neither.
int selected_chip(const BoardRecord& rec) {
  const std::uint8_t sel = rec.registers[0];
  return sel == 0x94 ? 0 : sel == 0x54 ? 1 : -1;
}

}  // namespace

// Stream bytes (0x0A) and read-register bytes (0x0C) gather until the
// command register (0x01) ends them: 0xD2 a probe stream, 0xF2 slow control.
void BoardEmulator::recordRegisterWrite(std::uint8_t address, std::uint8_t value) {
  Impl& m = *impl_;
  std::lock_guard lk(m.mu);
  m.rec.writes.push_back({address, value});
  m.rec.registers[address] = value;
  if (address == 0x0A) m.pendingStream.push_back(value);
  if (address == 0x0C) m.pendingRead.push_back(value);
  if (address != 0x01 || (value != 0xF2 && value != 0xD2)) return;
  const int c = selected_chip(m.rec);
  if (c >= 0 && !m.pendingStream.empty()) {
    if (value == 0xD2) {
      m.rec.probe[c] = m.pendingStream;
      ++m.rec.probeCount[c];
    } else {
      m.rec.slowControl[c] = m.pendingStream;
      ++m.rec.slowControlCount[c];
    }
  }
  if (c >= 0 && !m.pendingRead.empty()) {
    m.rec.readRegister[c] = m.pendingRead;
    ++m.rec.readRegisterCount[c];
  }
  m.pendingStream.clear();
  m.pendingRead.clear();
}

void BoardEmulator::handleWord(std::uint32_t w) {
  Impl& m = *impl_;
  if (w & 0x80000000u) {
    recordRegisterWrite((w >> 16) & 0xFF, (w >> 8) & 0xFF);
    if (!faults_.noAck.load()) {
      replyDelay();
      const int n = std::clamp(faults_.ackBytes.load(), 1, 4);
      for (int i = 0; i < n; ++i) m.out.push_back((w >> (8 * i)) & 0xFF);
    }
    return;
  }
  std::lock_guard lk(m.mu);
  m.rec.rawCommands.push_back(w);
  if (w == kStart) {
    ++m.rec.starts;
    streaming_ = true;
  } else if (w == kStop1) {
    ++m.rec.stops;
    if (!faults_.ignoreStop.load()) streaming_ = false;
  }
}

// The words of the frame for `r`, with whatever frame faults are due.
void BoardEmulator::frameWithFaults(const TriggerRecord& r) {
  Impl& m = *impl_;
  auto& words = m.frameWords;
  std::uint64_t index;
  {
    std::lock_guard lk(m.mu);
    index = m.rec.framesSent + 1;
  }
  const bool oversized = faults_.oversizedAtFrame.load() == index;
  const bool corrupt = faults_.corruptMagicAtFrame.load() == index;
  if (oversized || faults_.oversizedFrames.load() > 0) {
    if (!oversized) --faults_.oversizedFrames;
    words = {kMagic, 1200, std::uint32_t(r.number)};
    words.resize(3 + 1200, board_adc_word(1, 0, 100));
  } else if (faults_.hugeFrames.load() > 0) {
    --faults_.hugeFrames;
    words = {kMagic, 150, std::uint32_t(r.number)};
    words.resize(3 + 150, board_adc_word(2, 1, 200));
  } else {
    frame_into(r, words);
  }
  if (corrupt || faults_.corruptMagicFrames.load() > 0) {
    if (!corrupt) --faults_.corruptMagicFrames;
    words[0] = 0xFFFFEA0Du;
  }
}

void BoardEmulator::queueFrame(const TriggerRecord& r) {
  Impl& m = *impl_;
  frameWithFaults(r);
  replyDelay();
  const std::size_t before = m.out.size();
  m.out.resize(before + 4 * m.frameWords.size());
  std::uint8_t* dst = m.out.data() + before;
  for (auto w : m.frameWords) {
    dst[0] = std::uint8_t(w);
    dst[1] = std::uint8_t(w >> 8);
    dst[2] = std::uint8_t(w >> 16);
    dst[3] = std::uint8_t(w >> 24);
    dst += 4;
  }
  if (faults_.closeMidFrame.exchange(false)) {
    m.out.resize(before + (m.out.size() - before) / 2);
    m.closeAfterFlush = true;
  }
  std::lock_guard lk(m.mu);
  ++m.rec.framesSent;
}

bool BoardEmulator::receive() {
  Impl& m = *impl_;
  std::uint8_t buf[4096];
  const ssize_t got = recv(m.clientFd, buf, sizeof buf, 0);
  if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
    dropClient();
    return false;
  }
  if (got > 0) {
    m.in.insert(m.in.end(), buf, buf + got);
    std::size_t i = 0;
    for (; i + 4 <= m.in.size(); i += 4)
      handleWord(std::uint32_t(m.in[i]) | std::uint32_t(m.in[i + 1]) << 8 |
                 std::uint32_t(m.in[i + 2]) << 16 | std::uint32_t(m.in[i + 3]) << 24);
    m.in.erase(m.in.begin(), m.in.begin() + std::ptrdiff_t(i));
  }
  return true;
}

bool BoardEmulator::sendQueued() {
  Impl& m = *impl_;
  const int split = faults_.splitBytes.load();
  const std::size_t chunk = std::min(split > 0 ? std::size_t(split) : m.queued(), m.queued());
  const ssize_t sent = send(m.clientFd, m.out.data() + m.outHead, chunk, MSG_NOSIGNAL);
  if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    dropClient();
    return false;
  }
  if (sent <= 0) return true;
  m.outHead += std::size_t(sent);
  if (m.outHead == m.out.size()) {
    m.out.clear();
    m.outHead = 0;
  } else if (m.outHead > (1u << 20)) {
    m.out.erase(m.out.begin(), m.out.begin() + std::ptrdiff_t(m.outHead));
    m.outHead = 0;
  }
  if (split > 0) std::this_thread::sleep_for(std::chrono::microseconds(faults_.splitPauseUs.load()));
  return true;
}

void BoardEmulator::queueFrames() {
  Impl& m = *impl_;
  AdcFrameSource src;
  {
    std::lock_guard lk(m.mu);
    src = m.source;
  }
  // Several frames per pass keep up with a client reading at full speed.
  for (int k = 0; k < 64 && m.queued() < options_.maxQueuedBytes && src; ++k) {
    auto r = src(std::chrono::milliseconds(k == 0 ? 5 : 0));
    if (!r) break;
    queueFrame(*r);
    if (m.closeAfterFlush) break;
  }
}

void BoardEmulator::run() {
  Impl& m = *impl_;
  m.frameWords.reserve(3 + 1200);
  while (!m.stopRequested.load()) {
    pollfd p[3];
    int np = 0;
    p[np++] = {m.wakeFd, POLLIN, 0};
    p[np++] = {m.listenFd, POLLIN, 0};
    if (m.clientFd >= 0) {
      short ev = POLLIN;
      if (m.queued() > 0) ev |= POLLOUT;
      p[np++] = {m.clientFd, ev, 0};
    }
    const bool wantFrame = m.clientFd >= 0 && streaming_.load() && !m.closeAfterFlush &&
                           m.queued() < options_.maxQueuedBytes;
    if (poll(p, nfds_t(np), wantFrame ? 0 : 50) < 0 && errno != EINTR) break;
    if (p[0].revents & POLLIN) continue;  // stop requested

    if (p[1].revents & POLLIN) acceptClient();
    const bool readable = np == 3 && (p[2].revents & (POLLIN | POLLHUP | POLLERR));
    if (m.clientFd >= 0 && readable && !receive()) continue;
    if (m.clientFd >= 0 && m.queued() > 0 && !sendQueued()) continue;
    if (m.clientFd >= 0 && m.closeAfterFlush && m.queued() == 0) {
      dropClient();
      continue;
    }
    if (wantFrame && m.clientFd >= 0 && streaming_.load()) queueFrames();
  }
  dropClient();
}

}  // namespace mdq::sim
