// The crate code against the simulated crate, loaded by path through the
// VME layer exactly as the station loads a driver.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "backend.h"
#include "camac.h"
#include "crate.h"
#include "crate_test_support.h"
#include "dispatch.h"
#include "mdq_ui.h"
#include "platform.h"
#include "sim_crate.h"
#include "sim_driver.h"
#include "trigger_source.h"
#include "v1290.h"
#include "wienvme_dll.h"

using crate_test::count_of;
using crate_test::DelayScope;
using mdq::platform::ConsoleCapture;
namespace sim = mdq::sim;

namespace {

class SimCrate : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::simcrate_reset();
    sim::shared_trigger_source().setRate(0);
    sim::shared_trigger_source().setFreeRunning(false);
    WIENVME_start(sim::simulated_driver_path().c_str());
    ASSERT_NE(DLLHandle, nullptr);
    ASSERT_EQ(sim::simcrate_state().openSessions, 2);
    sim::simcrate_clear_cycles();
  }
  void TearDown() override {
    WIENVME_stop();
    sim::simcrate_reset();
    sim::shared_trigger_source().setRate(300);
    wienvme_set_driver_path(nullptr);
  }
  static sim::SimCycle last_cycle() {
    auto cycles = sim::simcrate_cycles();
    return cycles.empty() ? sim::SimCycle{} : cycles.back();
  }
  DelayScope delay_;
};

// ---- VME layer -----------------------------------------------------------

TEST_F(SimCrate, RegisterAccessSelectsSessionAndWidth) {
  EXPECT_EQ(WIENVME_VME_W(0x39, 2, PIO_OUTPUT, 0xABCD0001u), 0);
  auto c = last_cycle();
  EXPECT_TRUE(c.write);
  EXPECT_EQ(c.am, 0x39);
  EXPECT_EQ(c.width, 2);
  EXPECT_EQ(c.address, PIO_OUTPUT);
  EXPECT_EQ(c.data, 0x0001u);  // the low half only
  EXPECT_EQ(sim::simcrate_state().pioOutput, 1);

  std::uint32_t data = 0;
  EXPECT_EQ(WIENVME_VME_R(0x09, 4, V1290_EVENT_COUNTER, &data), 0);
  c = last_cycle();
  EXPECT_FALSE(c.write);
  EXPECT_EQ(c.am, 0x09);
  EXPECT_EQ(c.width, 4);

  EXPECT_EQ(WIENVME_VME_MR(0x39, 2, V1290_MICRO_HANDSHAKE, &data), 0);
  EXPECT_EQ(last_cycle().am, 0x39);
  EXPECT_EQ(last_cycle().width, 2);
  EXPECT_EQ(data, 1u);  // write-ok

  // Unoffered modifier or width: no cycle at all.
  const auto before = sim::simcrate_cycles().size();
  EXPECT_EQ(WIENVME_VME_R(0x0D, 2, PIO_READ, &data), 0);
  EXPECT_EQ(WIENVME_VME_W(0x39, 3, PIO_OUTPUT, 0), 0);
  EXPECT_EQ(sim::simcrate_cycles().size(), before);

  // The byte-wide operations pass width 1; CAMAC answers only 16-bit cycles.
  ConsoleCapture con;
  std::uint8_t b = 0;
  EXPECT_NE(WIENVME_read8(hHandle24, 1, PIO_READ, &b), 0);
  EXPECT_EQ(con.text(), "D8 read at 0x81B802 failed!\n");
}

TEST_F(SimCrate, DriverFailuresAreReportedWithTheAddress) {
  ConsoleCapture con;
  sim::simcrate_fail_op(sim::DriverOp::Write, true);
  EXPECT_NE(PIO_write(1), 0);
  sim::simcrate_fail_op(sim::DriverOp::Write, false);
  sim::simcrate_fail_address(V1290_STATUS, true);
  std::uint16_t w = 0;
  EXPECT_NE(WIENVME_read16(hHandle24, 1, V1290_STATUS, &w), 0);
  sim::simcrate_fail_op(sim::DriverOp::Reset, true);
  EXPECT_NE(WIENVME_reset(), 0);
  EXPECT_EQ(con.text(),
            "D16 write at 0x81B842 failed!\nD16 read at 0x44441002 failed!\nCan't reset interface!\n");
  EXPECT_EQ(sim::simcrate_state().pioWrites, 0u);
}

TEST_F(SimCrate, InitFailureReportsDeviceAndModule) {
  WIENVME_stop();
  sim::simcrate_fail_op(sim::DriverOp::Init, true);
  ConsoleCapture con;
  WIENVME_start(sim::simulated_driver_path().c_str());
  EXPECT_EQ(count_of(con.text(), "Can't open interface \"/dev/pcivme_0\" to VMEMM-module \"1\"!\n"),
            2u);
  EXPECT_EQ(sim::simcrate_state().openSessions, 0);
}

TEST_F(SimCrate, StopClosesEachSessionOnceAndRestartDoesNotLeak) {
  const int h24 = hHandle24, h32 = hHandle32;
  ConsoleCapture con;
  WIENVME_stop();
  EXPECT_EQ(con.text(), "hHandle " + std::to_string(h24) + "\nhHandle " + std::to_string(h32) + "\n");
  EXPECT_EQ(sim::simcrate_state().openSessions, 0);
  EXPECT_EQ(DLLHandle, nullptr);
  con.clear();
  WIENVME_stop();
  EXPECT_EQ(con.text(), "");

  WIENVME_start(sim::simulated_driver_path().c_str());
  WIENVME_start(sim::simulated_driver_path().c_str());
  EXPECT_EQ(sim::simcrate_state().openSessions, 2);

  sim::simcrate_fail_op(sim::DriverOp::Close, true);
  con.clear();
  EXPECT_NE(WIENVME_close32(), 0);
  EXPECT_NE(con.text().find("Can't close interface!\n"), std::string::npos);
  sim::simcrate_fail_op(sim::DriverOp::Close, false);
}

// ---- CAMAC ---------------------------------------------------------------

TEST_F(SimCrate, ControllerCommandsIssueOneCycleEach) {
  unsigned long ext = 12345, on = 7, off = 0;
  struct Case { void (*issue)(unsigned long*, unsigned long*); unsigned long* sw; std::uint32_t at; };
  const Case cases[] = {
      {[](unsigned long* e, unsigned long*) { CAMAC_cccz(e); }, nullptr, 0x81E46A},
      {[](unsigned long* e, unsigned long*) { CAMAC_cccc(e); }, nullptr, 0x81E4EA},
      {CAMAC_ccci, &on, 0x81F4EA},
      {CAMAC_ccci, &off, 0x81F4E2},
      {CAMAC_cccd, &on, 0x81F56A},
      {CAMAC_cccd, &off, 0x81F562},
  };
  for (const Case& k : cases) {
    sim::simcrate_clear_cycles();
    k.issue(&ext, k.sw);
    auto cycles = sim::simcrate_cycles();
    ASSERT_EQ(cycles.size(), 1u);
    EXPECT_EQ(cycles[0].address, k.at) << std::hex << k.at;
    EXPECT_FALSE(cycles[0].write);
    EXPECT_EQ(cycles[0].width, 2);
    EXPECT_EQ(cycles[0].am, 0x39);
  }
  auto st = sim::simcrate_state();
  EXPECT_EQ(st.zCount, 1u);
  EXPECT_EQ(st.cCount, 1u);
  EXPECT_FALSE(st.inhibit);  // removed last
  EXPECT_FALSE(st.demand);
  CAMAC_ccci(&ext, &on);
  EXPECT_TRUE(sim::simcrate_state().inhibit);
}

TEST_F(SimCrate, StartupSetsUpBranchPioAndTdcInOrder) {
  WIENVME_stop();
  sim::simcrate_reset();
  wienvme_set_driver_path(sim::simulated_driver_path().c_str());
  sim::simcrate_set_handshake(sim::HandshakeMode::AlwaysReady);
  ConsoleCapture con;
  crate_startup();
  auto cycles = sim::simcrate_cycles();
  ASSERT_GE(cycles.size(), 7u);
  const struct { bool write; std::uint32_t at; std::uint32_t data; } expect[] = {
      {true, 0x80E826, 0},  {false, 0x81E46A, 0}, {false, 0x81E4EA, 0}, {false, 0x81F4E2, 0},
      {false, 0x81B826, 0}, {true, 0x81B846, 2},  {true, 0x44441014, 0},
  };
  for (std::size_t i = 0; i < std::size(expect); ++i) {
    EXPECT_EQ(cycles[i].write, expect[i].write) << i;
    EXPECT_EQ(cycles[i].address, expect[i].at) << i;
    if (expect[i].write) { EXPECT_EQ(cycles[i].data, expect[i].data) << i; }
  }
  auto st = sim::simcrate_state();
  EXPECT_EQ(st.pioRegister2, 2);
  EXPECT_FALSE(st.inhibit);
  EXPECT_TRUE(st.triggerMatching);
  // Two 10 ms pauses before the TDC, then its three 100 ms resets.
  ASSERT_GE(crate_test::delays().size(), 5u);
  EXPECT_EQ(crate_test::delays()[0], 0.01);
  EXPECT_EQ(crate_test::delays()[1], 0.01);
  EXPECT_EQ(crate_test::delays()[2], 0.1);
  EXPECT_NE(con.text().find("V1290_init().......Done\n"), std::string::npos) << con.text();
}

// ---- crate commands ------------------------------------------------------

TEST_F(SimCrate, HandlersAreInstalledAndVetoCommandsDriveThePio) {
  crate_test::handlers().clear();
  crate_install_handlers();
  for (int control : {P1_PIO_VETO_ON, P1_PIO_VETO_OFF, P1_PIO_PULSE, P1_TDC_RESET,
                      P1_TDC_HANDSHAKE, P1_TDC_INIT, P1_TDC_READ_CONFIG})
    EXPECT_TRUE(crate_test::handlers().count(control)) << control;

  ConsoleCapture con;
  crate_test::handlers()[P1_PIO_VETO_ON](P1_PIO_VETO_ON);
  EXPECT_EQ(sim::simcrate_state().pioOutput, 1);
  EXPECT_TRUE(sim::shared_trigger_source().veto());
  crate_test::handlers()[P1_PIO_VETO_OFF](P1_PIO_VETO_OFF);
  EXPECT_EQ(sim::simcrate_state().pioOutput, 0);
  EXPECT_FALSE(sim::shared_trigger_source().veto());
  EXPECT_EQ(con.text(), "PIO VETO ON\nPIO VETO OFF\n");

  con.clear();
  sim::simcrate_clear_cycles();
  crate_test::delays().clear();
  crate_pio_pulse(P1_PIO_PULSE);
  auto cycles = sim::simcrate_cycles();
  ASSERT_EQ(cycles.size(), 2u);
  EXPECT_EQ(cycles[0].data, 1u);
  EXPECT_EQ(cycles[1].data, 0u);
  EXPECT_EQ(cycles[1].address, PIO_OUTPUT);
  EXPECT_EQ(sim::simcrate_state().pioOutput, 0);
  EXPECT_EQ(crate_test::delays(), std::vector<double>{0.001});
  EXPECT_EQ(con.text(), "");
}

TEST_F(SimCrate, TdcResetAndHandshakeCommands) {
  ConsoleCapture con;
  crate_tdc_reset(P1_TDC_RESET);
  auto st = sim::simcrate_state();
  EXPECT_EQ(st.moduleResets, 1u);
  EXPECT_EQ(st.softwareClears, 1u);
  EXPECT_EQ(st.eventResets, 1u);
  EXPECT_EQ(crate_test::delays(), (std::vector<double>{0.1, 0.1, 0.1}));
  crate_tdc_handshake(P1_TDC_HANDSHAKE);
  EXPECT_EQ(con.text(), "Micro handshake = 1\n");
  sim::simcrate_set_handshake(sim::HandshakeMode::AlwaysReady);
  con.clear();
  crate_tdc_handshake(P1_TDC_HANDSHAKE);
  EXPECT_EQ(con.text(), "Micro handshake = 3\n");
}

// ---- V1290 ---------------------------------------------------------------

TEST_F(SimCrate, HandshakeCountsWithReadyAndSilentModule) {
  sim::simcrate_set_handshake(sim::HandshakeMode::AlwaysReady);
  int word = 0x4200;
  EXPECT_EQ(V1290_writeOC(&word), 0);
  auto st = sim::simcrate_state();
  EXPECT_EQ(st.handshakeReads, 1u);
  EXPECT_EQ(crate_test::delays(), std::vector<double>{0.01});
  EXPECT_EQ(st.microWrites, std::vector<std::uint16_t>{0x4200});

  sim::simcrate_set_handshake(sim::HandshakeMode::NeverReady);
  crate_test::delays().clear();
  word = 0x1000;
  EXPECT_EQ(V1290_writeOC(&word), -1);
  st = sim::simcrate_state();
  EXPECT_EQ(st.handshakeReads, 1u + 102u);
  EXPECT_EQ(st.microWrites.size(), 1u);  // nothing written
  EXPECT_EQ(crate_test::delays().size(), 102u);

  int answer = 0x5A5A0000;
  EXPECT_EQ(V1290_readOC(&answer), -1);
  EXPECT_EQ(answer, 0x5A5A0000);
  EXPECT_EQ(sim::simcrate_state().handshakeReads, 1u + 2 * 102u);
}

TEST_F(SimCrate, HandshakeWaitsForTheBitAndReadsTheAnswer) {
  // The module answers a read only after an opcode that has an answer.
  int op = V1290_OP_READ_RES;
  ASSERT_EQ(V1290_writeOC(&op), 0);
  int answer = 0;
  EXPECT_EQ(V1290_readOC(&answer), 0);
  EXPECT_EQ(answer, 3);
  // Nothing left to read: the read handshake never comes.
  crate_test::delays().clear();
  EXPECT_EQ(V1290_readOC(&answer), -1);
  EXPECT_EQ(crate_test::delays().size(), 102u);
  EXPECT_EQ(sim::simcrate_state().microProtocolErrors, 0u);
}

TEST_F(SimCrate, InitSendsTheOpcodeSequenceWithPanelValues) {
  ConsoleCapture con;
  EXPECT_EQ(V1290_init({.windowWidth = 30, .windowOffset = -1, .extraMargin = 9, .edge = 1}), 0);
  EXPECT_EQ(con.text(), "V1290_init().......Done\n");
  auto st = sim::simcrate_state();
  const std::vector<std::uint16_t> expect = {0x0000, 0x1000, 30,     0x1100, 0xFFFF,
                                             0x1200, 9,      0x4200, 0x4100, 0x3100,
                                             0x3400, 0x2200, 1,      0x1400};
  EXPECT_EQ(st.microWrites, expect);
  EXPECT_EQ(st.moduleResets, 1u);
  EXPECT_EQ(st.softwareClears, 1u);
  EXPECT_EQ(st.eventResets, 1u);
  EXPECT_EQ(st.channelEnable, 0xFFFFFFFEu);
  EXPECT_FALSE(st.chipHeaders);
  EXPECT_EQ(st.microProtocolErrors, 0u);
  // Three 100 ms resets, then one handshake pause per word (14 written, 1 read).
  EXPECT_EQ(crate_test::delays().size(), 3u + 15u);
}

TEST_F(SimCrate, InitCommandReadsBackThePanelSettings) {
  SetCtrlVal(p1h, P1_TDC_WINDOW_WIDTH, 40);
  SetCtrlVal(p1h, P1_TDC_WINDOW_OFFSET, -1);
  SetCtrlVal(p1h, P1_TDC_EXTRA_MARGIN, 12);
  SetCtrlVal(p1h, P1_TDC_EDGE, 3);
  ConsoleCapture con;
  crate_tdc_init(P1_TDC_INIT);
  EXPECT_EQ(con.text(),
            "V1290_init().......Done\n"
            "Ch Enable 1 = FFFE\n"
            "Ch Enable 2 = FFFF\n"
            "Match window Width = 40\n"
            "Window Offset = 65535\n"
            "Extra Search Window = 12\n"
            "Reject Margin = 4\n"
            "Trigger Subtraction = 1\n"
            "TDC Maximum number of hits per event = 9\n"
            "TDC Edge type = 3\n"
            "TDC resolution= 3\n");
}

TEST_F(SimCrate, ReadConfigWithSilentModuleSaysSoInsteadOfZeros) {
  sim::simcrate_set_handshake(sim::HandshakeMode::NeverReady);
  ConsoleCapture con;
  crate_tdc_read_config(P1_TDC_READ_CONFIG);
  EXPECT_EQ(con.text(),
            "Ch Enable 1 = no answer from the TDC\nCh Enable 2 = no answer from the TDC\n"
            "Match window Width = no answer from the TDC\nWindow Offset = no answer from the TDC\n"
            "Extra Search Window = no answer from the TDC\nReject Margin = no answer from the TDC\n"
            "Trigger Subtraction = no answer from the TDC\n"
            "TDC Maximum number of hits per event = no answer from the TDC\n"
            "TDC Edge type = no answer from the TDC\nTDC resolution= no answer from the TDC\n");
  // 5 opcodes + 10 answers, each through a full time-out.
  EXPECT_EQ(crate_test::delays().size(), 15u * 102u);
}

TEST_F(SimCrate, InitWithSilentModuleCountsTheTimeOutsAndFails) {
  sim::simcrate_set_handshake(sim::HandshakeMode::NeverReady);
  ConsoleCapture con;
  EXPECT_EQ(V1290_init({.windowWidth = 20, .edge = 2}), -1);
  // 14 words and one answer, none taken; the usual closing line stays, the verdict follows.
  EXPECT_NE(con.text().find("V1290_init().......Done\nV1290_init: 15 handshake(s) with the TDC "
                            "timed out -- the TDC is not configured."),
            std::string::npos)
      << con.text();
  sim::simcrate_set_handshake(sim::HandshakeMode::Normal);
  con.clear();
  EXPECT_EQ(V1290_init({.windowWidth = 20, .edge = 2}), 0);
  EXPECT_EQ(con.text(), "V1290_init().......Done\n");
}

// ---- triggers and the TDC output buffer ----------------------------------

std::uint16_t status() {
  std::uint16_t s = 0;
  EXPECT_EQ(WIENVME_read16(hHandle24, 1, V1290_STATUS, &s), 0);
  return s;
}

std::vector<std::uint32_t> drain_event() {
  std::vector<std::uint32_t> words;
  for (int i = 0; i < 1000; ++i) {
    std::uint32_t w = 0;
    EXPECT_EQ(WIENVME_read32(hHandle24, 1, V1290_OUTPUT_BUFFER, &w), 0);
    words.push_back(w);
    if ((w & 0xF8000000u) == 0x80000000u || (w & 0xF8000000u) == 0xC0000000u) break;
  }
  return words;
}

TEST_F(SimCrate, TriggersFireOnlyWithTheVetoReleased) {
  EXPECT_EQ(PIO_write(1), 0);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(status() & V1290_STATUS_DATA_READY, 0);
  EXPECT_EQ(sim::shared_trigger_source().generated(), 0u);

  EXPECT_EQ(PIO_write(0), 0);
  EXPECT_EQ(status() & V1290_STATUS_DATA_READY, 1);
  EXPECT_EQ(PIO_write(1), 0);
  EXPECT_EQ(sim::shared_trigger_source().generated(), 1u);
  auto st = sim::simcrate_state();
  EXPECT_EQ(st.eventsStored, 1);
  EXPECT_EQ(st.eventCounter, 1u);
  // Data stays ready until read, but no new trigger comes under the veto.
  for (int i = 0; i < 5; ++i) status();
  EXPECT_EQ(sim::shared_trigger_source().generated(), 1u);
}

TEST_F(SimCrate, OneTdcEventAndOneAdcFrameOfTheSameTrigger) {
  sim::simcrate_set_handshake(sim::HandshakeMode::AlwaysReady);
  (void)V1290_init({.edge = 3});  // both edges
  sim::simcrate_set_handshake(sim::HandshakeMode::Normal);
  EXPECT_EQ(PIO_write(0), 0);
  ASSERT_EQ(status() & 1, 1);
  EXPECT_EQ(PIO_write(1), 0);
  std::uint16_t stored = 0;
  EXPECT_EQ(WIENVME_read16(hHandle24, 1, V1290_EVENT_STORED, &stored), 0);
  EXPECT_EQ(stored, 1);
  auto words = drain_event();
  auto frame = sim::shared_trigger_source().takeAdcFrame(std::chrono::milliseconds(0));
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->number, 1u);
  EXPECT_FALSE(sim::shared_trigger_source().takeAdcFrame(std::chrono::milliseconds(0)));

  ASSERT_GE(words.size(), 2u);
  EXPECT_EQ(words.front() & 0xF8000000u, 0x40000000u);
  EXPECT_EQ((words.front() & 0x07FFFFFFu) >> 5, 1u);  // event count
  EXPECT_EQ(words.back() & 0xF8000000u, 0x80000000u);
  EXPECT_EQ((words.back() & 0x001FFFFFu) >> 5, words.size());  // word count
  // The measurements are the trigger's hits, channel 0 disabled.
  std::vector<std::uint32_t> expect;
  for (unsigned chip = 0; chip < 4; ++chip)
    for (std::uint32_t i = 0; i < frame->nhits; ++i) {
      const auto& h = frame->hits[i];
      if (h.channel / 8 == chip && h.channel != 0)
        expect.push_back((h.trailing ? 1u << 26 : 0) | (std::uint32_t{h.channel} << 21) | h.value);
    }
  EXPECT_EQ(std::vector<std::uint32_t>(words.begin() + 1, words.end() - 1), expect);
  for (auto w : expect) {
    EXPECT_NE((w & 0x03FFFFFFu) >> 21, 0u);
    EXPECT_LE(w & 0x1FFFFFu, 0x1FFFFFu);
  }
  EXPECT_EQ(sim::simcrate_state().eventsStored, 0);
  std::uint32_t w = 0;
  EXPECT_EQ(WIENVME_read32(hHandle24, 1, V1290_OUTPUT_BUFFER, &w), 0);
  EXPECT_EQ(w, 0xC0000000u);  // empty buffer: filler
}

TEST_F(SimCrate, UnthrottledGivesOneTriggerPerVetoRelease) {
  EXPECT_EQ(PIO_write(0), 0);
  for (int i = 0; i < 5; ++i) status();
  EXPECT_EQ(sim::simcrate_state().eventsStored, 1);
  for (int k = 1; k < 5; ++k) {
    EXPECT_EQ(PIO_write(1), 0);
    EXPECT_EQ(PIO_write(0), 0);
    for (int i = 0; i < 3; ++i) status();
  }
  auto st = sim::simcrate_state();
  EXPECT_EQ(st.eventCounter, 5u);
  EXPECT_EQ(st.eventsStored, 5);
  for (std::uint64_t n = 1; n <= 5; ++n) {
    auto f = sim::shared_trigger_source().takeAdcFrame(std::chrono::milliseconds(0));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->number, n);
  }
  // Software clear empties the buffer and the counter.
  std::uint16_t zero = 0;
  EXPECT_EQ(WIENVME_write16(hHandle24, 1, V1290_SW_CLEAR, &zero), 0);
  st = sim::simcrate_state();
  EXPECT_EQ(st.eventsStored, 0);
  EXPECT_EQ(st.eventCounter, 0u);
  EXPECT_EQ(st.wordsPending, 0u);
}

TEST_F(SimCrate, RateThrottlesTriggers) {
  sim::shared_trigger_source().setRate(50);  // 20 ms apart
  EXPECT_EQ(PIO_write(0), 0);
  EXPECT_EQ(status() & 1, 0);  // not due yet right after the release
  const auto t0 = std::chrono::steady_clock::now();
  const auto deadline = t0 + std::chrono::seconds(2);
  while ((status() & 1) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(sim::shared_trigger_source().generated(), 1u);
  EXPECT_GE(waited, std::chrono::milliseconds(15));
}

TEST_F(SimCrate, FaultsStatusNeverReadyAndMissingTrailer) {
  sim::simcrate_status_never_ready(true);
  EXPECT_EQ(PIO_write(0), 0);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(status() & 1, 0);
  sim::simcrate_status_never_ready(false);
  sim::simcrate_suppress_global_trailer(true);
  ASSERT_EQ(status() & 1, 1);
  auto words = drain_event();
  for (auto w : words) EXPECT_NE(w & 0xF8000000u, 0x80000000u);
  EXPECT_EQ(words.back(), 0xC0000000u);
}

TEST(TriggerSource, FreeRunningFeedsTheBoardWithoutACrate) {
  sim::simcrate_reset();
  auto& src = sim::shared_trigger_source();
  src.setRate(1000);
  src.setVeto(true);
  EXPECT_FALSE(src.takeAdcFrame(std::chrono::milliseconds(20)));
  src.setFreeRunning(true);
  for (std::uint64_t n = 1; n <= 3; ++n) {
    auto f = src.takeAdcFrame(std::chrono::milliseconds(1000));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->number, n);
  }
  src.setFreeRunning(false);
  src.setRate(300);
  sim::simcrate_reset();
}

TEST(TriggerSource, DistributionsArePlausibleAndSeeded) {
  auto& src = sim::shared_trigger_source();
  src.setRate(0);
  src.setSeed(42);
  src.reset();
  src.setFreeRunning(true);  // back to back, no veto cycles needed
  double high = 0, low = 0;
  std::uint16_t minHigh = 4095;
  std::vector<std::uint32_t> firstHits;
  for (int i = 0; i < 300; ++i) {
    auto r = src.takeTdcEvent();
    ASSERT_TRUE(r);
    if (i == 0)
      for (std::uint32_t k = 0; k < r->nhits; ++k) firstHits.push_back(r->hits[k].value);
    for (std::uint32_t k = 0; k < r->nhits; ++k) {
      EXPECT_LT(r->hits[k].channel, 32);
      EXPECT_LE(r->hits[k].value, 0x1FFFFFu);
    }
    for (int ch = 0; ch < 64; ++ch) {
      high += r->adc[ch][0];
      low += r->adc[ch][1];
      minHigh = std::min(minHigh, r->adc[ch][0]);
      EXPECT_LT(r->adc[ch][0], 4096);
    }
  }
  EXPECT_GT(high, 1.5 * low);
  EXPECT_GE(minHigh, 80);   // pedestals, never zero
  EXPECT_LE(minHigh, 220);
  // The same seed gives the same triggers.
  src.reset();
  auto again = src.takeTdcEvent();
  ASSERT_TRUE(again);
  std::vector<std::uint32_t> hits;
  for (std::uint32_t k = 0; k < again->nhits; ++k) hits.push_back(again->hits[k].value);
  EXPECT_EQ(hits, firstHits);
  src.setFreeRunning(false);
  src.setVeto(true);
  sim::simcrate_reset();
}

}  // namespace

namespace {

class SimCrateThreads : public SimCrate {};

// A board waiting for a frame gets the trigger as soon as the veto goes off,
// and the TDC sees the same trigger at its next status read.
TEST_F(SimCrateThreads, BoardWaitingSeesTheTriggerTheTdcReads) {
  std::optional<sim::TriggerRecord> frame;
  std::thread board([&] {
    frame = sim::shared_trigger_source().takeAdcFrame(std::chrono::milliseconds(2000));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(PIO_write(0), 0);
  board.join();
  EXPECT_EQ(PIO_write(1), 0);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->number, 1u);
  EXPECT_EQ(status() & 1, 1);
  EXPECT_EQ(sim::shared_trigger_source().generated(), 1u);
  EXPECT_EQ(sim::simcrate_state().eventCounter, 1u);
}

// The run's pattern on one thread, the board's on another: every trigger
// gives one TDC event and one frame, in the same order.
TEST_F(SimCrateThreads, RunAndBoardStayInStep) {
  // Unthrottled: one trigger per release. (At a throttled rate a trigger can
  // fall between data-ready and the veto; the next clear then loses its TDC
  // half while the board keeps its frame, as on the real stand.)
  sim::shared_trigger_source().setRate(0);
  EXPECT_EQ(PIO_write(1), 0);  // no trigger before the first cycle releases the veto
  constexpr int kTriggers = 200;
  std::vector<std::uint64_t> frames;
  std::thread board([&] {
    for (int i = 0; i < kTriggers; ++i) {
      auto f = sim::shared_trigger_source().takeAdcFrame(std::chrono::milliseconds(2000));
      if (!f) break;
      frames.push_back(f->number);
    }
  });
  int events = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (events < kTriggers && std::chrono::steady_clock::now() < deadline) {
    std::uint16_t zero = 0;
    EXPECT_EQ(WIENVME_write16(hHandle24, 1, V1290_SW_CLEAR, &zero), 0);
    EXPECT_EQ(PIO_write(0), 0);
    while ((status() & 1) == 0 && std::chrono::steady_clock::now() < deadline) {
    }
    EXPECT_EQ(PIO_write(1), 0);
    std::uint16_t stored = 0;
    EXPECT_EQ(WIENVME_read16(hHandle24, 1, V1290_EVENT_STORED, &stored), 0);
    for (int k = 0; k < stored; ++k) {
      auto words = drain_event();
      ASSERT_EQ(words.back() & 0xF8000000u, 0x80000000u);
      ++events;
    }
  }
  board.join();
  EXPECT_EQ(events, kTriggers);
  ASSERT_EQ(frames.size(), static_cast<std::size_t>(kTriggers));
  for (int i = 0; i < kTriggers; ++i) EXPECT_EQ(frames[i], static_cast<std::uint64_t>(i + 1));
  EXPECT_EQ(sim::shared_trigger_source().generated(), static_cast<std::uint64_t>(kTriggers));
}

}  // namespace
