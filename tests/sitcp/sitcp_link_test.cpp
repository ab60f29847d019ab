// The RBCP link on the wire, against a capturing board and the responder:
// exact request bytes, register round trips, and the reply faults (dropped,
// late, stale, short) with a short reply time-out.
#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "backend.h"
#include "sitcp.h"
#include "capture_board.h"
#include "rbcp_responder.h"

using namespace std::chrono_literals;
using mdq::platform::ConsoleCapture;
using mdq::sim::RbcpResponder;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr auto kTimeout = 150ms;

int open_fds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

struct Elapsed {
  std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();
  std::chrono::milliseconds ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - t0);
  }
};

class RbcpLink : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(board.start(0), 0);
    board.setMadcNoise(0);
    ConsoleCapture quiet;
    open_test_link(board.port(), kTimeout);
  }
  void TearDown() override {
    SiTCPclose();
    board.stop();
    sitcp_settings() = SiTCPLinkSettings{};
  }
  RbcpResponder board;
};

}  // namespace

TEST(RbcpWire, RequestBytes) {
  CaptureBoard cap;
  cap.setReg(5, 0x77);
  {
    ConsoleCapture quiet;
    open_test_link(cap.port(), 1000ms);
  }
  ConsoleCapture c;
  Senderudp_send(0x1E, 1);
  Senderudp_send(0x11, 0x1F4);
  Senderudp_send(0x100, 5);
  Senderudp_send(0x1F, 0);
  EXPECT_EQ(Senderudp_recv(5, 123), 0x77);
  const auto req = cap.requests();
  ASSERT_EQ(req.size(), 5u);
  EXPECT_EQ(req[0], (Bytes{0xFF, 0x80, 0x1E, 0x01, 0, 0, 0, 0x1E, 0x01}));
  EXPECT_EQ(req[1], (Bytes{0xFF, 0x80, 0x11, 0x01, 0, 0, 0, 0x11, 0xF4}));
  EXPECT_EQ(req[2], (Bytes{0xFF, 0x80, 0x00, 0x01, 0, 0, 0x01, 0x00, 0x05}));
  EXPECT_EQ(req[4], (Bytes{0xFF, 0xC0, 0x05, 0x01, 0, 0, 0, 0x05, 0x00}));
  EXPECT_EQ(c.text(), "");  // a board that answers: nothing on the console
  SiTCPclose();
  sitcp_settings() = SiTCPLinkSettings{};
}

// A request that got no reply moves its register's id on, so the late reply
// cannot answer the next request; other registers and a reopened link keep
// the plain id.
TEST(RbcpWire, RequestIdMovesOnAfterAFailureOnThatRegisterOnly) {
  CaptureBoard cap;
  cap.setReg(0x30, 0x42);
  {
    ConsoleCapture quiet;
    open_test_link(cap.port(), 100ms);
  }
  {
    ConsoleCapture timeout;
    cap.ignoreNext(2);
    EXPECT_EQ(Senderudp_recv(0x30, 0), -1);
    EXPECT_EQ(Senderudp_recv(0x30, 0), -1);
  }
  EXPECT_EQ(Senderudp_recv(0x30, 0), 0x42);
  EXPECT_EQ(Senderudp_recv(0x31, 0), 0);
  {
    ConsoleCapture quiet;
    open_test_link(cap.port(), 100ms);
  }
  EXPECT_EQ(Senderudp_recv(0x30, 0), 0x42);
  const auto req = cap.requests();
  ASSERT_EQ(req.size(), 5u);
  EXPECT_EQ(req[0], (Bytes{0xFF, 0xC0, 0x30, 0x01, 0, 0, 0, 0x30, 0x00}));
  EXPECT_EQ(req[1], (Bytes{0xFF, 0xC0, 0x31, 0x01, 0, 0, 0, 0x30, 0x00}));
  EXPECT_EQ(req[2], (Bytes{0xFF, 0xC0, 0x32, 0x01, 0, 0, 0, 0x30, 0x00}));
  EXPECT_EQ(req[3], (Bytes{0xFF, 0xC0, 0x31, 0x01, 0, 0, 0, 0x31, 0x00}));
  EXPECT_EQ(req[4], (Bytes{0xFF, 0xC0, 0x30, 0x01, 0, 0, 0, 0x30, 0x00}));
  SiTCPclose();
  sitcp_settings() = SiTCPLinkSettings{};
}

TEST_F(RbcpLink, WriteThenReadBack) {
  Senderudp_send(0x20, 0x15A);  // only the low byte reaches the board
  EXPECT_EQ(board.reg(0x20), 0x5A);
  EXPECT_EQ(Senderudp_recv(0x20, 0), 0x5A);
  board.setReg(0x21, 0xFF);
  EXPECT_EQ(Senderudp_recv(0x21, 0), 0xFF);
  EXPECT_EQ(board.writesReceived(), 1u);
  EXPECT_EQ(board.readsReceived(), 2u);
}

TEST_F(RbcpLink, DroppedReplyTimesOutOnceAndTheLinkGoesOn) {
  board.setReg(0x22, 0x33);
  board.dropNextReplies(1);
  ConsoleCapture c;
  Elapsed e;
  EXPECT_EQ(Senderudp_recv(0x22, 0), -1);
  EXPECT_GE(e.ms(), kTimeout - 5ms);
  EXPECT_LT(e.ms(), kTimeout + 500ms);
  EXPECT_EQ(c.text(), "\n***** Timeout ! *****\n");
  EXPECT_EQ(Senderudp_recv(0x22, 0), 0x33);
}

// A reply that comes after its request gave up stays queued; it must not be
// taken for the next request, even one to the same register.
TEST_F(RbcpLink, LateReplyIsNotTakenForTheNextRequest) {
  board.setReg(0x30, 0x11);
  board.delayNextReplies(1, kTimeout + 100ms);
  const auto sentBefore = board.repliesSent();
  EXPECT_EQ(Senderudp_recv(0x30, 0), -1);
  ASSERT_TRUE(board.waitForReplies(sentBefore + 1, 2s));
  board.setReg(0x30, 0x22);
  ConsoleCapture c;
  EXPECT_EQ(Senderudp_recv(0x30, 0), 0x22);
}

TEST_F(RbcpLink, StaleReplyBeforeTheRightOneIsSkipped) {
  board.setReg(0x40, 0x01);
  board.setReg(0x41, 0x5C);
  EXPECT_EQ(Senderudp_recv(0x40, 0), 0x01);
  board.staleBeforeNextReplies(1);
  ConsoleCapture c;
  Elapsed e;
  EXPECT_EQ(Senderudp_recv(0x41, 0), 0x5C);
  EXPECT_LT(e.ms(), kTimeout);
  EXPECT_NE(c.text().find("discarded"), std::string::npos);
}

TEST_F(RbcpLink, ShortReplyIsAnErrorNotAValue) {
  board.setReg(0x50, 0x99);
  EXPECT_EQ(Senderudp_recv(0x50, 0), 0x99);  // fills the reply buffer once
  board.shortNextReplies(1);
  ConsoleCapture c;
  Elapsed e;
  EXPECT_EQ(Senderudp_recv(0x50, 0), -1);
  EXPECT_LT(e.ms(), kTimeout);
  EXPECT_NE(c.text().find("too short (8 bytes)"), std::string::npos);
  EXPECT_EQ(Senderudp_recv(0x50, 0), 0x99);
}

TEST_F(RbcpLink, RepliesFromElsewhereAreIgnored) {
  // A stranger on loopback answering in the board's place.
  EXPECT_EQ(Senderudp_recv(0x60, 0), 0);  // the link socket now has its port
  board.dropNextReplies(1);
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in me{};
  socklen_t len = sizeof me;
  getsockname(SiTCPGetUDPSock(), reinterpret_cast<sockaddr*>(&me), &len);
  ASSERT_NE(me.sin_port, 0);
  me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ConsoleCapture c;
  std::thread t([&] {
    std::this_thread::sleep_for(30ms);
    const std::uint8_t fake[9] = {0xFF, 0xC8, 0x60, 1, 0, 0, 0, 0x60, 0xEE};
    sendto(s, fake, sizeof fake, 0, reinterpret_cast<sockaddr*>(&me), sizeof me);
  });
  EXPECT_EQ(Senderudp_recv(0x60, 0), -1);
  t.join();
  close(s);
  EXPECT_NE(c.text().find("Timeout"), std::string::npos);
}

TEST_F(RbcpLink, ReopeningClosesTheEarlierSocket) {
  const int before = open_fds();
  {
    ConsoleCapture quiet;
    for (int i = 0; i < 5; ++i) open_test_link(board.port(), kTimeout);
  }
  EXPECT_EQ(open_fds(), before);
  EXPECT_EQ(Senderudp_recv(0x04, 0), board.reg(0x04));
}

TEST_F(RbcpLink, ClosedLinkEndsAtOnce) {
  {
    ConsoleCapture quiet;
    SiTCPclose();
  }
  const auto received = board.datagramsReceived();
  ConsoleCapture c;
  Elapsed e;
  EXPECT_EQ(Senderudp_recv(0x04, 0), -1);
  EXPECT_LT(e.ms(), kTimeout);
  EXPECT_NE(c.text().find("RBCP link not usable"), std::string::npos);
  EXPECT_EQ(board.datagramsReceived(), received);
}

TEST(RbcpWire, UnparsableAddressSendsNothing) {
  ConsoleCapture c;
  SiTCPSetIPPort("not-an-address", 24, 4660);
  SiTCPCreateUDPSock();
  EXPECT_NE(c.text().find("error : invalid IP address : not-an-address"), std::string::npos);
  Elapsed e;
  EXPECT_EQ(Senderudp_recv(0x04, 0), -1);
  EXPECT_LT(e.ms(), 500ms);
  EXPECT_NE(c.text().find("UDP recv error: "), std::string::npos);
  SiTCPclose();
}
