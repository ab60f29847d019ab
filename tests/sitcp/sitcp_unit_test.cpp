// Port checks, request framing in the send buffer, bias conversions and the
// behaviour of a link that was never opened.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "backend.h"
#include "sitcp.h"
#include "board_link.h"

using mdq::platform::ConsoleCapture;

namespace {

std::string fmt2(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.2lf", v);
  return b;
}

std::string bytes(const unsigned char* p, int n) {
  std::string s;
  char b[4];
  for (int i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
    s += b;
  }
  return s;
}

}  // namespace

TEST(SiTCPSetIPPort, PortChecksAndLines) {
  {
    ConsoleCapture c;
    EXPECT_EQ(SiTCPSetIPPort("127.0.0.1", 24, 4660), 1);
    EXPECT_EQ(c.text(),
              "\nSiTCP:IP Address = 127.0.0.1\n      TCP Port   = 24\n      UDP Port   = 4660\n\n");
  }
  {
    ConsoleCapture c;
    EXPECT_EQ(SiTCPSetIPPort("127.0.0.1", 0, 4660), 1);
    EXPECT_EQ(c.text().rfind("error : invalid port : tcp = 0\nexit(1);!!!\n\n", 0), 0u);
    EXPECT_NE(c.text().find("TCP Port   = 0\n"), std::string::npos);
  }
  {
    ConsoleCapture c;
    SiTCPSetIPPort("127.0.0.1", 65534, 65535);
    EXPECT_EQ(c.text().find("tcp ="), std::string::npos);
    EXPECT_EQ(c.text().rfind("error : invalid port : udp = 65535\nexit(1);!!!\n", 0), 0u);
  }
  {
    ConsoleCapture c;
    SiTCPSetIPPort("127.0.0.1", 65535, 0);
    EXPECT_EQ(c.text().rfind("error : invalid port : tcp = 65535\n"
                             "error : invalid port : udp = 0\nexit(1);!!!\n\n",
                             0),
              0u);
  }
}

TEST(RbcpFraming, HeaderBytes) {
  SiTCPRBCPskeleton(0xFF, 0x80, 0x1E, 1, 0x1E);
  EXPECT_EQ(bytes(sitcp::link().SiTCPsndBuf, 8), "FF 80 1E 01 00 00 00 1E");
  SiTCPRBCPskeleton(0xFF, 0xC0, 0x00, 1, 0x12345600);
  EXPECT_EQ(bytes(sitcp::link().SiTCPsndBuf, 8), "FF C0 00 01 12 34 56 00");
}

TEST(BiasConversion, DacCodesAtTheReferencePoints) {
  int code = -1;
  ASSERT_TRUE(sitcp_hv_to_dac(0.0, &code));
  EXPECT_EQ(code, 780);
  ASSERT_TRUE(sitcp_hv_to_dac(1.0, &code));
  EXPECT_EQ(code, 1263);
  ASSERT_TRUE(sitcp_hv_to_dac(50.0, &code));
  EXPECT_EQ(code, 24939);
  EXPECT_EQ(code / 256, 0x61);
  EXPECT_EQ(code % 256, 0x6B);
  ASSERT_TRUE(sitcp_hv_to_dac(80.0, &code));
  EXPECT_EQ(code, 39434);
  EXPECT_EQ(code / 256, 0x9A);
  EXPECT_EQ(code % 256, 0x0A);
  // Top of the DAC: 65535 is the last code accepted.
  ASSERT_TRUE(sitcp_hv_to_dac((65535.5 - 780.0) / double(HVC_1), &code));
  EXPECT_EQ(code, 65535);
  // Slightly negative settings still truncate to code 0.
  ASSERT_TRUE(sitcp_hv_to_dac(-780.5 / double(HVC_1), &code));
  EXPECT_EQ(code, 0);
}

TEST(BiasConversion, OutOfRangeSettingsAreRefused) {
  int code = 4242;
  EXPECT_FALSE(sitcp_hv_to_dac(135.0, &code));   // 66009
  EXPECT_FALSE(sitcp_hv_to_dac(-2.0, &code));    // -186
  EXPECT_FALSE(sitcp_hv_to_dac((65536.0 - 780.0) / double(HVC_1), &code));
  EXPECT_FALSE(sitcp_hv_to_dac(1e12, &code));
  EXPECT_FALSE(sitcp_hv_to_dac(std::nan(""), &code));
  EXPECT_EQ(code, 4242);
}

TEST(BiasConversion, MonitorCodes) {
  EXPECT_EQ(fmt2(sitcp_madc_to_volts(24000)), "49.92");
  EXPECT_EQ(fmt2(sitcp_madc_to_microamps(24000)), "816.00");
  EXPECT_EQ(fmt2(sitcp_madc_to_volts(0)), "0.00");
}

TEST(SenderWithoutLink, EndsAtOnceWithLines) {
  SiTCPclose();
  sitcp_settings().replyTimeout = std::chrono::milliseconds(2000);
  ConsoleCapture c;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Senderudp_recv(0x04, 0), -1);
  Senderudp_send(0x10, 3);
  const auto elapsed = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(elapsed, std::chrono::milliseconds(500));
  const std::string t = c.text();
  EXPECT_NE(t.find("UDP recv error: "), std::string::npos);
  EXPECT_NE(t.find("UDP send error: "), std::string::npos);
  EXPECT_NE(t.find("exit(1);!!!\n"), std::string::npos);
  EXPECT_NE(t.find("RBCP link not usable"), std::string::npos);
  // The write still framed its request: a later read carries its data byte.
  EXPECT_EQ(bytes(sitcp::link().SiTCPsndBuf, 9), "FF 80 10 01 00 00 00 10 03");
  sitcp_settings() = SiTCPLinkSettings{};
}

TEST(BoardLinkDefaults, AddressAndPorts) {
  const BoardLink defaults;
  EXPECT_EQ(defaults.udpPort, 4660);
  EXPECT_EQ(defaults.tcpPort, 24);
  EXPECT_EQ(SiTCPLinkSettings{}.replyTimeout, std::chrono::seconds(3));
  EXPECT_STREQ(defaults.host(), board_default_address());
  BoardLink here;
  here.address = "127.0.0.1";
  EXPECT_STREQ(here.host(), "127.0.0.1");
}
