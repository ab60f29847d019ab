// The link and the board initialisation against the emulator.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "easiroc_fixture.h"
#include "board_link.h"

using namespace easiroc_test;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::uint8_t> le_bytes(unsigned w, int from, int count) {
  std::vector<std::uint8_t> b;
  for (int i = from; i < from + count; ++i) b.push_back((w >> (8 * i)) & 0xFF);
  return b;
}

std::vector<std::uint8_t> sc_stream(int first) {
  std::vector<std::uint8_t> s{std::uint8_t(easiroc::board().config.iniData[first] & 0xFF)};
  for (int i = 1; i < 15; ++i) {
    auto b = le_bytes(easiroc::board().config.iniData[first + i], 0, 4);
    s.insert(s.end(), b.begin(), b.end());
  }
  return s;
}

void fill_ini() {
  for (int i = 0; i < EASIROC_INI_VALUES; ++i) easiroc::board().config.iniData[i] = 0x01020304u * (i + 1) + 0x5A00u * i;
}

}  // namespace

TEST_F(BoardTest, WriteDataAcknowledgedAndRecorded) {
  connect();
  mdq::platform::ConsoleCapture cap;
  EXPECT_EQ(WriteData(easiroc::board().sock, (0x1Fu << 16) + (3u << 8)), 0);
  EXPECT_EQ(cap.text(), ".");
  auto rec = board_->record();
  ASSERT_EQ(rec.writes.size(), 1u);
  EXPECT_EQ(rec.writes[0].address, 0x1F);
  EXPECT_EQ(rec.writes[0].value, 3);
}

TEST_F(BoardTest, ShortAndSplitAcknowledgementsKeepTheStreamAligned) {
  connect();
  board_->faults().ackBytes = 1;  // a one-byte reply still counts
  EXPECT_EQ(WriteData(easiroc::board().sock, 0x9400), 0);
  board_->faults().ackBytes = 4;
  board_->faults().splitBytes = 1;  // the acknowledgement arrives byte by byte
  board_->faults().splitPauseUs = 2000;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WriteData(easiroc::board().sock, 0x5400), 0);
  board_->faults().splitBytes = 0;
  // Nothing of the acknowledgements is left to be read as a frame header.
  ASSERT_EQ(easiroc_singleADCstart(), 0);
  EXPECT_EQ(easiroc_singleADCevent(easiroc::board().esrcdata), 64);
  EXPECT_EQ(easiroc::board().esrcdata[0], mdq::sim::board_adc_word(0, 0, numbered_record(1).adc[0][0]));
  (void)easiroc_singleADCstop();
}

TEST_F(BoardTest, NeverAcknowledgingBoardCostsNineTimeoutsInInit) {
  board_->faults().noAck = true;
  fill_ini();
  mdq::platform::ConsoleCapture cap;
  auto t0 = Clock::now();
  EXPECT_EQ(easiroc_Init("127.0.0.1", 3), -1);
  auto elapsed = Clock::now() - t0;
  std::string text = cap.text();
  std::size_t timeouts = 0;
  for (std::size_t p = 0; (p = text.find("recv failed: ", p)) != std::string::npos; ++p) ++timeouts;
  EXPECT_EQ(timeouts, 9u) << text;
  EXPECT_LT(elapsed, std::chrono::milliseconds(9 * 150 + 1500));
  EXPECT_GE(elapsed, std::chrono::milliseconds(9 * 150));
  EXPECT_TRUE(easiroc_Connected()) << "the connection stays open";
  EXPECT_EQ(text.find("#D : DAQ mode"), std::string::npos);
}

TEST_F(BoardTest, FullInitDeliversTheConfigurationFile) {
  fill_ini();
  mdq::platform::ConsoleCapture cap;
  ASSERT_EQ(easiroc_Init("127.0.0.1", 3), 0);
  EXPECT_NE(cap.text().find("\n#D : DAQ mode is 3 \n"), std::string::npos);
  EXPECT_NE(cap.text().find("\nRead Slow Control chip2: Done\n\n"), std::string::npos);
  auto rec = board_->record();
  EXPECT_EQ(rec.slowControl[0], sc_stream(2));
  EXPECT_EQ(rec.slowControl[1], sc_stream(17));
  EXPECT_EQ(rec.slowControl[0].size(), 57u);
  EXPECT_EQ(rec.readRegister[0], le_bytes(easiroc::board().config.iniData[32], 0, 4));
  EXPECT_EQ(rec.readRegister[1], le_bytes(easiroc::board().config.iniData[33], 0, 4));
  // Pin words: register 0 gets the low byte of pin word 0; 4 is never written.
  EXPECT_EQ(rec.writes[0].address, 0x00);
  EXPECT_EQ(rec.writes[0].value, easiroc::board().config.iniData[0] & 0xFF);
  const int pinRegs[] = {0x01, 0x02, 0x03, 0x05};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(rec.writes[1 + i].address, pinRegs[i]);
    EXPECT_EQ(rec.writes[1 + i].value, (easiroc::board().config.iniData[1] >> (8 * i)) & 0xFF);
  }
  for (const auto& w : rec.writes) EXPECT_NE(w.address, 0x04);
  // 5 pin + 3 selects + 2 x 62 slow control + 2 x 6 read register + DAQ mode.
  EXPECT_EQ(rec.writes.size(), 5u + 3 + 124 + 12 + 1);
  EXPECT_EQ(rec.writes.back().address, 0x1F);
  EXPECT_EQ(rec.writes.back().value, 3);
  EXPECT_EQ(rec.registers[0], 0x14);
}

TEST_F(BoardTest, PanelTransfersAndProbe) {
  fill_ini();
  connect();
  EXPECT_EQ(easiroc_fTransmitSC(), 0);
  EXPECT_EQ(easiroc_fTransmitReadSC(), 0);
  auto rec = board_->record();
  EXPECT_EQ(rec.slowControl[1], sc_stream(17));
  EXPECT_EQ(rec.readRegister[0], le_bytes(easiroc::board().config.iniData[32], 0, 4));
  EXPECT_EQ(rec.registers[0], 0x14);

  board_->clearRecord();
  ASSERT_EQ(easiroc_fTransmitProbe(40, 8), 0);  // chip 2, probe reset
  rec = board_->record();
  EXPECT_EQ(rec.registers[0], 0x54);
  EXPECT_EQ(rec.probe[1], std::vector<std::uint8_t>(20, 0));
  EXPECT_EQ(rec.writes.size(), 1u + 23);

  ASSERT_EQ(easiroc_fTransmitProbe(16, 4), 0);  // chip 1 ch 16 slow shaper low gain
  rec = board_->record();
  std::vector<std::uint8_t> want(20, 0);
  want[4 * easiroc::ssh_16 + 3] = 0x40;
  EXPECT_EQ(rec.probe[0], want);
}

TEST_F(BoardTest, FailedWriteAbortsTransfer) {
  fill_ini();
  connect();
  board_->faults().noAck = true;
  mdq::platform::ConsoleCapture cap;
  EXPECT_EQ(easiroc_fTransmitSC(), -1);
  EXPECT_EQ(board_->record().writes.size(), 1u) << "stopped at the first failed write";
  EXPECT_EQ(easiroc_fTransmitProbe(3, 1), -1);
}

TEST_F(BoardTest, ConnectionRefusedAndClosedBoard) {
  int port = board_->port();
  board_->stop();
  board_link().tcpPort = port;
  mdq::platform::ConsoleCapture cap;
  EXPECT_EQ(easiroc_Init("127.0.0.1", 3), -1);
  EXPECT_NE(cap.text().find("easiroc_Init::connect = -1\n"), std::string::npos);
  EXPECT_NE(cap.text().find("SiTCP Master :: Connection fail\n"), std::string::npos);
  EXPECT_FALSE(easiroc_Connected());
  cap.clear();
  EXPECT_EQ(WriteData(easiroc::board().sock, 0x9400), -1);
  EXPECT_EQ(easiroc_Connect("not-an-address"), -1);
}

TEST_F(BoardTest, BoardClosingTheConnectionFailsTheWrite) {
  connect();
  board_->stop();
  mdq::platform::ConsoleCapture cap;
  EXPECT_EQ(WriteData(easiroc::board().sock, 0x9400), -1);
  // The close reaches us as end of stream, or as a reset when the word was
  // already refused: either way a failure line, not a hang.
  const std::string t = cap.text();
  EXPECT_TRUE(t.find("Connection closed\n") != std::string::npos ||
              t.find("recv failed: ") != std::string::npos ||
              t.find("send failed: ") != std::string::npos)
      << t;
}

TEST(Connect, ConnectingAgainClosesThePreviousConnection) {
  mdq::platform::reset_for_tests();
  fast_settings();
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(lfd, 4), 0);
  socklen_t len = sizeof a;
  getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
  board_link().tcpPort = ntohs(a.sin_port);

  ASSERT_EQ(easiroc_Connect("127.0.0.1"), 0);
  int first = accept(lfd, nullptr, nullptr);
  ASSERT_GE(first, 0);
  ASSERT_EQ(easiroc_Connect("127.0.0.1"), 0);
  int second = accept(lfd, nullptr, nullptr);
  ASSERT_GE(second, 0);
  timeval tv{2, 0};
  setsockopt(first, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char c;
  EXPECT_EQ(recv(first, &c, 1, 0), 0) << "the first connection was closed";
  easiroc_Close();
  EXPECT_EQ(recv(second, &c, 1, 0), 0);
  close(first);
  close(second);
  close(lfd);
}
