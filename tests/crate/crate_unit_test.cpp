// The VME layer, CAMAC addressing and the crate start-up with no usable
// driver library: nothing may call through a missing entry point, every
// failed cycle says so, and start-up still completes.
#include <gtest/gtest.h>

#include <cstdint>

#include "backend.h"
#include "camac.h"
#include "crate.h"
#include "crate_test_support.h"
#include "platform.h"
#include "v1290.h"
#include "wienvme_dll.h"

using crate_test::count_of;
using crate_test::DelayScope;
using mdq::platform::ConsoleCapture;

namespace {

constexpr const char* kNoDriver = "/nonexistent/mdq-test/libpcivme_missing.so";

TEST(CamacAddress, CyclesOfTheBranchTable) {
  struct Row { unsigned c, n, a, f; std::uint32_t address; };
  const Row rows[] = {
      {1, 28, 8, 26, 0x81E46A}, {1, 28, 9, 26, 0x81E4EA}, {1, 30, 9, 26, 0x81F4EA},
      {1, 30, 9, 24, 0x81F4E2}, {1, 30, 10, 26, 0x81F56A}, {1, 30, 10, 24, 0x81F562},
      {0, 29, 0, 9, 0x80E826},  {1, 23, 0, 9, 0x81B826},  {1, 23, 0, 17, 0x81B846},
      {1, 23, 0, 16, 0x81B842},
  };
  for (const Row& r : rows)
    EXPECT_EQ(CAMAC_address(r.c, r.n, r.a, r.f), r.address)
        << "C" << r.c << " N" << r.n << " A" << r.a << " F" << r.f;
  EXPECT_EQ(PIO_OUTPUT, 0x81B842u);
  EXPECT_EQ(PIO_CLEAR, 0x81B826u);
  EXPECT_EQ(PIO_REG2, 0x81B846u);
  EXPECT_EQ(CAMAC_BRANCH_REG, 0x80E826u);
}

class NoDriver : public ::testing::Test {
 protected:
  void SetUp() override { WIENVME_stop(); }
  void TearDown() override {
    WIENVME_stop();
    wienvme_set_driver_path(nullptr);
  }
  DelayScope delay_;
};

TEST_F(NoDriver, StartGoesOnAndEveryCycleReportsItsFailure) {
  ConsoleCapture con;
  EXPECT_EQ(WIENVME_start(kNoDriver), 0);
  std::string text = con.text();
  EXPECT_NE(text.find("Failed to load the VME driver library"), std::string::npos) << text;
  EXPECT_NE(text.find(kNoDriver), std::string::npos);
  EXPECT_EQ(count_of(text, "Can't open interface \"/dev/pcivme_0\" to VMEMM-module \"1\"!\n"), 2u)
      << text;

  con.clear();
  std::uint32_t word = 0;
  EXPECT_NE(WIENVME_read8(hHandle24, 1, 0x81B842, &word), 0);
  EXPECT_NE(WIENVME_read16(hHandle24, 1, 0x81B842, &word), 0);
  EXPECT_NE(WIENVME_read32(hHandle24, 1, 0x44440000, &word), 0);
  EXPECT_NE(WIENVME_write8(hHandle24, 1, 0x81B842, &word), 0);
  EXPECT_NE(WIENVME_write16(hHandle24, 1, 0x81B842, &word), 0);
  EXPECT_NE(WIENVME_write32(hHandle24, 1, 0x4444101C, &word), 0);
  EXPECT_NE(WIENVME_reset(), 0);
  EXPECT_EQ(con.text(),
            "D8 read at 0x81B842 failed!\n"
            "D16 read at 0x81B842 failed!\n"
            "D32 read at 0x44440000 failed!\n"
            "D8 write at 0x81B842 failed!\n"
            "D16 write at 0x81B842 failed!\n"
            "D32 write at 0x4444101C failed!\n"
            "Can't reset interface!\n");

  // Register-level access reaches the same failure; a modifier or width it
  // does not offer does nothing at all.
  con.clear();
  EXPECT_NE(WIENVME_VME_R(0x39, 2, 0x81B842, &word), 0);
  EXPECT_NE(WIENVME_VME_MW(0x09, 4, 0x44440000, 5), 0);
  EXPECT_EQ(con.text(), "D16 read at 0x81B842 failed!\nD32 write at 0x44440000 failed!\n");
  con.clear();
  EXPECT_EQ(WIENVME_VME_R(0x3D, 2, 0x81B842, &word), 0);
  EXPECT_EQ(WIENVME_VME_W(0x39, 1, 0x81B842, 1), 0);
  EXPECT_EQ(WIENVME_VME_MR(0x39, 8, 0x81B842, &word), 0);
  EXPECT_EQ(con.text(), "");

  // Both sessions of the started layer are closed and said, though their
  // open failed; a second stop has nothing left to close.
  con.clear();
  EXPECT_EQ(WIENVME_stop(), 0);
  EXPECT_EQ(con.text(), "hHandle 0\nCan't close interface!\nhHandle 0\nCan't close interface!\n");
  con.clear();
  EXPECT_EQ(WIENVME_stop(), 0);
  EXPECT_EQ(con.text(), "");
}

TEST_F(NoDriver, VetoCommandsNeverAnnounceAVetoTheCrateDidNotTake) {
  WIENVME_start(kNoDriver);
  ConsoleCapture con;
  crate_pio_veto_on(0);
  crate_pio_veto_off(0);
  EXPECT_EQ(con.text(),
            "D16 write at 0x81B842 failed!\n"
            "PIO veto NOT set: the crate write failed -- check the crate.\n"
            "D16 write at 0x81B842 failed!\n"
            "PIO veto NOT released: the crate write failed -- check the crate.\n");
  con.clear();
  crate_tdc_reset(0);
  EXPECT_NE(con.text().find("TDC reset: 3 of 3 writes failed"), std::string::npos) << con.text();
}

TEST_F(NoDriver, HandshakeWaitGivesUpAfter102ReadsAndWritesNothing) {
  WIENVME_start(kNoDriver);
  ConsoleCapture con;
  int word = 0x1000;
  EXPECT_EQ(V1290_writeOC(&word), -1);
  EXPECT_EQ(count_of(con.text(), "D16 read at 0x44441030 failed!\n"), 102u);
  EXPECT_EQ(count_of(con.text(), "0x4444102E"), 0u);
  EXPECT_EQ(crate_test::delays().size(), 102u);
  EXPECT_NEAR(crate_test::total_delay(), 1.02, 1e-9);

  con.clear();
  crate_test::delays().clear();
  int answer = 0;
  EXPECT_EQ(V1290_readOC(&answer), -1);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(count_of(con.text(), "D16 read at 0x44441030 failed!\n"), 102u);
  EXPECT_EQ(crate_test::delays().size(), 102u);
}

TEST_F(NoDriver, CrateStartupCompletesThroughItsTimeouts) {
  wienvme_set_driver_path(kNoDriver);
  ConsoleCapture con;
  crate_startup();
  const std::string text = con.text();
  EXPECT_NE(text.find("Failed to load the VME driver library"), std::string::npos);
  // The branch, controller and PIO cycles each report their failure.
  for (const char* line :
       {"D16 write at 0x80E826 failed!\n", "D16 read at 0x81E46A failed!\n",
        "D16 read at 0x81E4EA failed!\n", "D16 read at 0x81F4E2 failed!\n",
        "D16 read at 0x81B826 failed!\n", "D16 write at 0x81B846 failed!\n",
        "D16 write at 0x44441014 failed!\n"})
    EXPECT_EQ(count_of(text, line), 1u) << line;
  // The TDC initialisation ran through all 15 of its handshake time-outs.
  EXPECT_EQ(count_of(text, "D16 read at 0x44441030 failed!\n"), 15u * 102u);
  // The usual closing line, then the verdict with what to check.
  EXPECT_NE(text.find(".Done\nV1290_init: 15 handshake(s) with the TDC timed out"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("V1290_init()."), std::string::npos);

  // Both sessions are closed, and their failure said, though neither opened.
  con.clear();
  crate_shutdown();
  EXPECT_EQ(con.text(), "hHandle 0\nCan't close interface!\nhHandle 0\nCan't close interface!\n");
}

TEST_F(NoDriver, HandshakeCommandPrintsTheFailureThenZero) {
  WIENVME_start(kNoDriver);
  ConsoleCapture con;
  crate_tdc_handshake(0);
  EXPECT_EQ(con.text(), "D16 read at 0x44441030 failed!\nMicro handshake = 0\n");
}

TEST_F(NoDriver, MissingEntryPointsAreReportedAndNeverCalled) {
  ConsoleCapture con;
  EXPECT_NE(WIENVME_load(MDQ_PARTIAL_DRIVER), 0);
  const std::string text = con.text();
  for (const char* name : {"VMEwrite", "VMEreset", "VMEclose"})
    EXPECT_NE(text.find(std::string("\"") + name + "\" not found"), std::string::npos) << name;
  EXPECT_EQ(text.find("\"VMEinit\" not found"), std::string::npos);

  EXPECT_EQ(WIENVME_open24(), 0);
  EXPECT_EQ(hHandle24, 7);
  std::uint16_t word = 0xFFFF;
  EXPECT_EQ(WIENVME_read16(hHandle24, 1, 0x81B842, &word), 0);
  EXPECT_EQ(word, 0);

  con.clear();
  EXPECT_NE(WIENVME_write16(hHandle24, 1, 0x81B842, &word), 0);
  EXPECT_NE(WIENVME_reset(), 0);
  EXPECT_NE(WIENVME_close24(), 0);
  EXPECT_EQ(con.text(),
            "D16 write at 0x81B842 failed!\nCan't reset interface!\nhHandle 7\nCan't close interface!\n");
}

TEST_F(NoDriver, NullBufferIsAFailedCycleNotACrash) {
  (void)WIENVME_load(MDQ_PARTIAL_DRIVER);
  (void)WIENVME_open24();
  ConsoleCapture con;
  EXPECT_NE(WIENVME_read16(hHandle24, 1, 0x81B842, nullptr), 0);
  EXPECT_EQ(con.text(), "D16 read at 0x81B842 failed!\n");
}

TEST(DriverPath, SettingOverridesTheDefault) {
  EXPECT_STREQ(wienvme_driver_path(), wienvme_default_driver_path());
  wienvme_set_driver_path("/opt/vme/libdriver.so");
  EXPECT_STREQ(wienvme_driver_path(), "/opt/vme/libdriver.so");
  wienvme_set_driver_path("");
  EXPECT_STREQ(wienvme_driver_path(), wienvme_default_driver_path());
}

}  // namespace
