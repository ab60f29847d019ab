// The four bias commands through their handlers against the responder:
// console lines, the registers written, refusal of settings the DAC cannot
// hold, and a full set-and-read-back cycle.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "backend.h"
#include "bias.h"
#include "capture_board.h"
#include "dispatch.h"
#include "mdq_ui.h"
#include "platform.h"
#include "rbcp_responder.h"
#include "sitcp.h"
#include "board_link.h"

using namespace std::chrono_literals;
using mdq::platform::ConsoleCapture;
using mdq::sim::RbcpResponder;
using Writes = std::vector<std::pair<std::uint32_t, std::uint8_t>>;

// The session's dispatch table, as far as these tests need it.
namespace {
std::map<int, ControlHandler> g_handlers;
std::vector<double> g_delays;
void record_delay(double s) { g_delays.push_back(s); }
}  // namespace
void session_set_handler(int control, ControlHandler handler) { g_handlers[control] = handler; }

namespace {

void press(int control) {
  ASSERT_TRUE(g_handlers.count(control)) << "no handler for control " << control;
  g_handlers[control](control);
}

class BiasCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    mdq::platform::reset_for_tests();
    mdq::platform::set_delay_hook(record_delay);
    g_delays.clear();
    g_handlers.clear();
    bias_install_handlers();
    ASSERT_EQ(board.start(0), 0);
    board_link().address = "127.0.0.1";
    board_link().udpPort = board.port();
    sitcp_settings().replyTimeout = 100ms;
  }
  void TearDown() override {
    ConsoleCapture quiet;
    press(P1_ER_UDP_CLOSE);
    board.stop();
    mdq::platform::set_delay_hook(nullptr);
    sitcp_settings() = SiTCPLinkSettings{};
  }
  void open() {
    ConsoleCapture quiet;
    press(P1_ER_UDP_OPEN);
    board.clearWriteLog();
  }
  std::string setBias(double volts) {
    SetCtrlVal(p1h, P1_ER_HV, volts);
    ConsoleCapture c;
    press(P1_ER_HV_CONTROL);
    return c.text();
  }
  RbcpResponder board;
};

double value_after(const std::string& text, const std::string& label) {
  const auto p = text.find(label);
  if (p == std::string::npos) return -1e9;
  return std::stod(text.substr(p + label.size()));
}

}  // namespace

TEST_F(BiasCommands, AllFourControlsHaveHandlers) {
  for (int c : {P1_ER_UDP_OPEN, P1_ER_UDP_CLOSE, P1_ER_HV_CONTROL, P1_ER_HV_READ})
    EXPECT_TRUE(g_handlers.count(c)) << c;
}

TEST_F(BiasCommands, OpenAndCloseLines) {
  ConsoleCapture c;
  press(P1_ER_UDP_OPEN);
  char expected[512];
  std::snprintf(expected, sizeof expected,
                "SiTCP control --> Start.\n\nSiTCP:IP Address = 127.0.0.1\n"
                "      TCP Port   = 24\n      UDP Port   = %u\n\n"
                "Create socket for RBCP...  Done\n",
                unsigned(board.port()));
  EXPECT_EQ(c.text(), expected);
  EXPECT_EQ(board.writeLog(), (Writes{{0x12, 0xF8}, {0x1F, 0x00}}));
  c.clear();
  press(P1_ER_UDP_CLOSE);
  EXPECT_EQ(c.text(), "SiTCPclose -> Done.\n");
}

TEST_F(BiasCommands, SettingsWriteTheDacCode) {
  open();
  struct Case {
    double volts;
    int code;
  };
  for (Case k : {Case{0.0, 780}, Case{1.0, 1263}, Case{50.0, 24939}, Case{80.0, 39434}}) {
    board.clearWriteLog();
    const std::string text = setBias(k.volts);
    char line[128];
    std::snprintf(line, sizeof line, "P1_ER_HV_CONTROL: HV = %lf | HVDAC = %d\n", k.volts, k.code);
    EXPECT_EQ(text, line);
    EXPECT_EQ(board.writeLog(), (Writes{{0x10, std::uint8_t(k.code / 256)},
                                        {0x11, std::uint8_t(k.code % 256)},
                                        {0x1E, 1}}))
        << k.volts;
    EXPECT_EQ(board.appliedDacCode(), k.code);
    EXPECT_EQ(bias_last_hvdac(), k.code);
  }
  EXPECT_NEAR(board.biasVolts(), 80.0, 0.01);
}

TEST_F(BiasCommands, SettingsOutsideTheDacAreRefusedAndNothingIsSent) {
  open();
  setBias(50.0);
  const auto received = board.datagramsReceived();
  for (double v : {135.0, -2.0, 1e9}) {
    const std::string text = setBias(v);
    EXPECT_NE(text.find("refused, bias not changed"), std::string::npos) << text;
    EXPECT_EQ(text.find("HVDAC ="), std::string::npos) << text;
  }
  EXPECT_EQ(board.datagramsReceived(), received);
  EXPECT_EQ(bias_last_hvdac(), 24939);
  EXPECT_NEAR(board.biasVolts(), 50.0, 0.01);
}

TEST_F(BiasCommands, SetFiftyVoltsAndReadBack) {
  open();
  board.setMadcNoise(2);
  setBias(50.0);
  ConsoleCapture c;
  press(P1_ER_HV_READ);
  const std::string text = c.text();
  const double volts = value_after(text, "Bias voltage : ");
  const double microamps = value_after(text, "Bias current : ");
  EXPECT_NEAR(volts, 50.0, 0.05) << text;
  EXPECT_NEAR(microamps, 2.0, 0.2) << text;  // default load 0.04 uA/V
  EXPECT_NE(text.find("V\nBias current : "), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 3), "uA\n");
  EXPECT_EQ(g_delays, (std::vector<double>{2.0, 2.0}));
  // Each conversion: channel, start, reset, stop.
  const Writes w = board.writeLog();
  ASSERT_EQ(w.size(), 11u);  // three for the setting, eight for the two conversions
  EXPECT_EQ(Writes(w.begin() + 3, w.end()),
            (Writes{{0x12, 3}, {0x1F, 1}, {0x12, 0xF0}, {0x1F, 0},
                    {0x12, 4}, {0x1F, 1}, {0x12, 0xF0}, {0x1F, 0}}));
}

TEST(BiasReadBack, MonitorCode24000) {
  mdq::platform::set_delay_hook(record_delay);
  g_handlers.clear();
  bias_install_handlers();
  CaptureBoard cap;
  cap.setReg(0x04, 0x5D);  // 24000 = 0x5DC0
  cap.setReg(0x05, 0xC0);
  board_link().address = "127.0.0.1";
  board_link().udpPort = cap.port();
  sitcp_settings().replyTimeout = 1000ms;
  {
    ConsoleCapture quiet;
    press(P1_ER_UDP_OPEN);
  }
  ConsoleCapture c;
  press(P1_ER_HV_READ);
  EXPECT_EQ(c.text(), "Bias voltage : 49.92V\nBias current : 816.00uA\n");
  press(P1_ER_UDP_CLOSE);
  mdq::platform::set_delay_hook(nullptr);
  sitcp_settings() = SiTCPLinkSettings{};
}

TEST_F(BiasCommands, FailedReadBackPrintsFailureNotAValue) {
  open();
  setBias(50.0);
  board.stop();  // the board goes silent
  ConsoleCapture c;
  press(P1_ER_HV_READ);
  const std::string text = c.text();
  EXPECT_NE(text.find("Bias voltage : read-back failed\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Bias current : read-back failed\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("-0."), std::string::npos) << text;
  EXPECT_EQ(text.find("V\n"), std::string::npos) << text;
}
