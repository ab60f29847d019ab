// RBCP reply handling on arbitrary datagrams.
//
// A UDP socket on 127.0.0.1 (OS-chosen port) poses as the board, a second
// one as some other host. Input layout:
//   byte 0      bit 0: read (1) or write (0) request
//   bytes 1-4   register address, byte 5 the data byte of a write
//   then datagrams, each: flags, length, payload
//     flags bit 0: sent by the other host instead of the board
//     flags bit 1: sent before the request (a late reply to an earlier one)
//     flags bit 2: the payload is laid over a copy of the request header
//
// The request goes out as the register operations send it (queued
// datagrams dropped, 9 bytes sent, reply awaited). Checked: the board sees
// exactly the 9 request bytes, and the result is the one a correct reading
// of the queued replies gives: the first datagram from the board that echoes
// the request's type, command class, id and address yields its byte 8; a
// board datagram shorter than 9 bytes ends the wait with -1; anything else
// is passed over; nothing usable means -1 after the reply time-out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sitcp.h"

namespace {

constexpr auto kReplyTimeout = std::chrono::milliseconds(3);

int g_board = -1;
int g_other = -1;
sockaddr_in g_station{};

void fail(const char* what) {
  std::fprintf(stderr, "fuzz_rbcp_reply: %s\n", what);
  std::abort();
}

int loopback_socket(sockaddr_in* bound) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("cannot create a UDP socket");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fail("cannot bind to 127.0.0.1");
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  if (bound) *bound = a;
  return fd;
}

// The board's receive: one request, or nothing within the time-out.
ssize_t board_receive(std::uint8_t* buf, std::size_t cap, sockaddr_in* from) {
  pollfd p{g_board, POLLIN, 0};
  if (poll(&p, 1, 1000) != 1) return -1;
  socklen_t len = sizeof *from;
  return recvfrom(g_board, buf, cap, 0, reinterpret_cast<sockaddr*>(from), &len);
}

void send_to_station(int fd, const std::uint8_t* p, std::size_t n) {
  if (sendto(fd, p, n, 0, reinterpret_cast<const sockaddr*>(&g_station), sizeof g_station) !=
      static_cast<ssize_t>(n))
    fail("cannot send a reply datagram");
}

struct Datagram {
  bool other = false;
  bool stale = false;
  std::vector<std::uint8_t> bytes;
};

bool echoes(const std::vector<std::uint8_t>& r, const std::uint8_t* req) {
  return r[0] == req[0] && (r[1] & 0xC0) == (req[1] & 0xC0) && r[2] == req[2] &&
         std::memcmp(r.data() + 4, req + 4, 4) == 0;
}

// What a correct reading of the replies (the stale ones dropped) returns.
int expected_result(const std::vector<Datagram>& ds, const std::uint8_t* req, bool includeStale) {
  for (const Datagram& d : ds) {
    if (d.other || (d.stale && !includeStale)) continue;
    std::size_t n = d.bytes.size() < 1024 ? d.bytes.size() : 1024;
    if (n < 9) return -1;
    if (echoes(d.bytes, req)) return d.bytes[8];
  }
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sockaddr_in board{};
  g_board = loopback_socket(&board);
  g_other = loopback_socket(nullptr);
  SiTCPinit();
  SiTCPSetIPPort("127.0.0.1", 24, ntohs(board.sin_port));
  SiTCPCreateUDPSock();
  sitcp_settings().replyTimeout = kReplyTimeout;
  // One request to learn the station's port (its socket binds on first send).
  SiTCPRBCPskeleton(RBCP_TYPE, RBCP_CMD_READ, 0, 1, 0);
  if (SiTCPsendRequest(9) != 9) fail("cannot send the first request");
  std::uint8_t buf[64];
  if (board_receive(buf, sizeof buf, &g_station) != 9) fail("the first request did not arrive");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return 0;
  const bool read = data[0] & 1;
  const unsigned address = unsigned(data[1]) << 24 | unsigned(data[2]) << 16 |
                           unsigned(data[3]) << 8 | unsigned(data[4]);
  const std::uint8_t value = data[5];

  std::uint8_t req[9] = {RBCP_TYPE, read ? RBCP_CMD_READ : RBCP_CMD_WRITE,
                         static_cast<std::uint8_t>(address & 0xFF), 1,
                         static_cast<std::uint8_t>(address >> 24),
                         static_cast<std::uint8_t>(address >> 16),
                         static_cast<std::uint8_t>(address >> 8),
                         static_cast<std::uint8_t>(address), 0};

  std::vector<Datagram> ds;
  for (std::size_t i = 6; i + 2 <= size && ds.size() < 32;) {
    Datagram d;
    const std::uint8_t flags = data[i];
    std::size_t len = data[i + 1];
    i += 2;
    const std::size_t take = len < size - i ? len : size - i;
    d.other = flags & 1;
    d.stale = flags & 2;
    d.bytes.assign(data + i, data + i + take);
    i += take;
    if (flags & 4) {
      // Over the request header: mostly matching replies with fuzzed data.
      std::vector<std::uint8_t> b(req, req + 8);
      for (std::size_t k = 0; k < d.bytes.size(); ++k) {
        if (k < 8) b[k] ^= d.bytes[k];
        else b.push_back(d.bytes[k]);
      }
      d.bytes = std::move(b);
    }
    ds.push_back(std::move(d));
  }

  for (const Datagram& d : ds)
    if (d.stale) send_to_station(d.other ? g_other : g_board, d.bytes.data(), d.bytes.size());

  // The register operation's request, step by step.
  SiTCPRBCPskeleton(RBCP_TYPE, req[1], req[2], 1, address);
  if (!read) {
    sitcp::link().SiTCPsndData[0] = value;
    std::memcpy(sitcp::link().SiTCPsndBuf + 8, sitcp::link().SiTCPsndData, sizeof sitcp::link().SiTCPsndData);
  }
  req[8] = sitcp::link().SiTCPsndBuf[8];
  SiTCPdiscardPending();
  if (SiTCPsendRequest(9) != 9) fail("request not sent");
  std::uint8_t got[2048];
  sockaddr_in from{};
  if (board_receive(got, sizeof got, &from) != 9 || std::memcmp(got, req, 9) != 0)
    fail("the board did not get the 9 request bytes");

  for (const Datagram& d : ds)
    if (!d.stale) send_to_station(d.other ? g_other : g_board, d.bytes.data(), d.bytes.size());

  const auto t0 = std::chrono::steady_clock::now();
  const int r = SiTCPrcvRBCP_ACK(1);
  const auto spent = std::chrono::steady_clock::now() - t0;

  if (r < -1 || r > 255) fail("result out of range");
  const int want = expected_result(ds, req, false);
  if (r != want) {
    // A loaded machine may let the deadline pass before the queued replies
    // are read, or deliver a stale datagram after the queue was emptied.
    const bool late = r == -1 && spent >= kReplyTimeout;
    const bool staleArrivedLate = r == expected_result(ds, req, true);
    if (!late && !staleArrivedLate) {
      std::fprintf(stderr, "result %d, expected %d\n", r, want);
      fail("wrong reply taken");
    }
  }
  SiTCPdiscardPending();
  return 0;
}
