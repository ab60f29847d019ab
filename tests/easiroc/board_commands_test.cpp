// The panel's board commands, run through their handlers against the emulator.
#include <map>

#include "board.h"
#include "dispatch.h"
#include "easiroc_fixture.h"
#include "mdq_main.h"
#include "mdq_ui.h"
#include "platform.h"
#include "board_link.h"

using namespace easiroc_test;

namespace {
std::map<int, ControlHandler> g_handlers;
}

// The session's dispatch table and worker pool, reduced to what these
// handlers need.
void session_set_handler(int control, ControlHandler handler) { g_handlers[control] = handler; }
int poolHandle = 0;

class BoardCommands : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    p1h = 1;
    if (poolHandle == 0) {
      ASSERT_EQ(CmtNewThreadPool(2, &poolHandle), 0);
    }
    g_handlers.clear();
    board_install_handlers();
    board_link().address = "127.0.0.1";
    board_link().tcpPort = board_->port();
  }
  void press(int control) {
    auto it = g_handlers.find(control);
    ASSERT_NE(it, g_handlers.end()) << "no handler for control " << control;
    it->second(control);
  }
};

TEST_F(BoardCommands, ElevenHandlersInstalled) {
  for (int c : {P1_ER_CONNECT, P1_ER_CLOSE, P1_ER_LOAD_INI, P1_ER_SC, P1_ER_READ_SC,
                P1_ER_ASIC_INIT, P1_ER_PROBE, P1_ER_DAQ, P1_ER_SINGLE_START, P1_ER_SINGLE_EVENT,
                P1_ER_SINGLE_STOP})
    EXPECT_TRUE(g_handlers.count(c)) << c;
  EXPECT_EQ(g_handlers.size(), 11u);
}

// Declared before any test that loads a table: in one process nothing is loaded yet.
TEST_F(BoardCommands, ConnectWithoutAConfigurationFileConfiguresNothingThenKeepsTheLastTable) {
  auto cwd = std::filesystem::current_path();
  std::filesystem::create_directories(dir_ / "empty");
  std::filesystem::current_path(dir_ / "empty");
  mdq::platform::ConsoleCapture cap;
  press(P1_ER_CONNECT);
  EXPECT_NE(cap.text().find("Board not configured: no configuration loaded"), std::string::npos)
      << cap.text();
  EXPECT_TRUE(board_->record().slowControl[0].empty()) << "nothing may reach the board";
  char status[128] = "";
  GetCtrlVal(p1h, P1_ER_DAQ_STATUS, status, sizeof status);
  EXPECT_STREQ(status, "board NOT configured -- see console");

  // Once a table was loaded, a missing default file keeps it and says so.
  const std::string good = path("good.ini");
  std::filesystem::copy_file(std::string(MDQ_SOURCE_DIR) + "/EASIROCini/EASIROC.ini", good);
  QueueFileSelection(good);
  press(P1_ER_LOAD_INI);
  cap.clear();
  press(P1_ER_CONNECT);
  std::filesystem::current_path(cwd);
  EXPECT_NE(cap.text().find("Keeping the configuration loaded from " + good), std::string::npos)
      << cap.text();
  EXPECT_EQ(board_->record().slowControl[0].front(), 192);
}

TEST_F(BoardCommands, SingleEventWithoutBoard) {
  mdq::platform::ConsoleCapture cap;
  press(P1_ER_SINGLE_EVENT);
  EXPECT_EQ(cap.text(),
            "Fatal ADC ERROR : HEADER\nHeader1 : 0x1 | Header2 : 0x1 | Header3 : 0x1\n"
            "esrcADCreturn = -2\n\n");
}

TEST_F(BoardCommands, LoadIniCancelledAndChosen) {
  easiroc::board().config.iniData[0] = 55;
  mdq::platform::ConsoleCapture cap;
  QueueFileSelection("");
  press(P1_ER_LOAD_INI);
  EXPECT_EQ(cap.text(), "");
  EXPECT_EQ(easiroc::board().config.iniData[0], 55u);

  std::string bad = path("bad.ini");
  std::ofstream(bad) << "1 2 three\n";
  QueueFileSelection(bad);
  press(P1_ER_LOAD_INI);
  EXPECT_NE(cap.text().find("Loading ini file " + bad + "\n"), std::string::npos);
  EXPECT_NE(cap.text().find("Error loading Ini file " + bad + "!!!\n"), std::string::npos);
  EXPECT_EQ(easiroc::board().config.iniData[0], 55u);
}

TEST_F(BoardCommands, ConnectProbeAndSingleEvents) {
  // Connect loads the default file relative to the working directory.
  auto cwd = std::filesystem::current_path();
  std::filesystem::create_directories(dir_ / "EASIROCini");
  std::filesystem::copy_file(std::string(MDQ_SOURCE_DIR) + "/EASIROCini/EASIROC.ini",
                             dir_ / "EASIROCini" / "EASIROC.ini");
  std::filesystem::current_path(dir_);
  mdq::platform::ConsoleCapture cap;
  press(P1_ER_CONNECT);
  std::filesystem::current_path(cwd);
  EXPECT_NE(cap.text().find("#D : DAQ mode is 3"), std::string::npos) << cap.text();
  EXPECT_EQ(board_->record().slowControl[0].front(), 192);

  board_->clearRecord();
  SetCtrlVal(p1h, P1_ER_PROBE_CH, 40);
  SetCtrlVal(p1h, P1_ER_PROBE_TYPE, 5);
  cap.clear();
  press(P1_ER_PROBE);
  EXPECT_NE(cap.text().find("transmitProbeCh = 40 | transmitProbeType = 5\n"), std::string::npos);
  EXPECT_NE(cap.text().find("\nTransmit Probe SUCESS\n"), std::string::npos);
  auto rec = board_->record();
  EXPECT_EQ(rec.registers[0], 0x54);
  std::vector<std::uint8_t> want(20, 0);
  want[2] = 0x80;  // channel 8 of chip 2: bit 23 of the fast-shaper word
  EXPECT_EQ(rec.probe[1], want);

  SetCtrlVal(p1h, P1_ER_PROBE_CH, 64);
  cap.clear();
  press(P1_ER_PROBE);
  EXPECT_EQ(cap.text().find("SUCESS"), std::string::npos);

  press(P1_ER_SINGLE_START);
  cap.clear();
  press(P1_ER_SINGLE_EVENT);
  auto w = mdq::sim::board_frame(numbered_record(1));
  char line[64];
  std::snprintf(line, sizeof line, "esrcADCreturn = 64\n[0] 0x%x [1] 0x%x ", w[3], w[4]);
  EXPECT_EQ(cap.text().rfind(line, 0), 0u) << cap.text();
  press(P1_ER_SINGLE_STOP);
  EXPECT_FALSE(board_->streaming());
  cap.clear();
  press(P1_ER_CLOSE);
  EXPECT_EQ(cap.text(), "easiroc_Close -> Done.\n");
  EXPECT_FALSE(easiroc_Connected());
}

TEST_F(BoardCommands, DaqReadsIntoThePanelFileAndShowsProgress) {
  ASSERT_EQ(easiroc_Connect("127.0.0.1"), 0);
  std::string file = path("esrc.dat");
  SetCtrlVal(p1h, P1_FILE, file.c_str());
  SetCtrlVal(p1h, P1_NEV, 50);
  SetCtrlVal(p1h, P1_EVENT, 0);
  mdq::platform::ConsoleCapture cap;
  press(P1_ER_DAQ);
  ASSERT_TRUE(board_wait_readout(10000));
  EXPECT_NE(cap.text().find("\nEASIROC DAQ SUCESS\n"), std::string::npos);
  std::vector<std::uint8_t> want;
  for (int n = 1; n <= 50; ++n) {
    auto f = frame_bytes(n);
    want.insert(want.end(), f.begin(), f.end());
  }
  EXPECT_EQ(read_file(file), want);
  int shown = 0;
  GetCtrlVal(p1h, P1_EVENT, &shown);
  EXPECT_EQ(shown, 50);
}

TEST_F(BoardCommands, DaqNeverWritesOverAnExistingFile) {
  ASSERT_EQ(easiroc_Connect("127.0.0.1"), 0);
  const std::string file = path("taken_file01.dat");
  std::ofstream(file) << "an earlier run";
  SetCtrlVal(p1h, P1_FILE, file.c_str());
  SetCtrlVal(p1h, P1_NEV, 50);
  mdq::platform::ConsoleCapture cap;
  press(P1_ER_DAQ);
  ASSERT_TRUE(board_wait_readout(10000));
  EXPECT_NE(cap.text().find("ContinuousADC_ver2: " + file + " exists -- not overwritten"),
            std::string::npos)
      << cap.text();
  EXPECT_EQ(cap.text().find("SUCESS"), std::string::npos);
  const auto kept = read_file(file);
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "an earlier run");
  EXPECT_FALSE(board_->streaming()) << "the board was started for a read-out that cannot be kept";
}

// The button hands the read-out to a worker and returns: the panel (and its
// stop button) stays live, a second read-out is refused while one runs.
TEST_F(BoardCommands, DaqRunsOnAWorkerUntilStopped) {
  ASSERT_EQ(easiroc_Connect("127.0.0.1"), 0);
  const std::string file = path("until_stopped.dat");
  SetCtrlVal(p1h, P1_FILE, file.c_str());
  SetCtrlVal(p1h, P1_NEV, 0);  // until stopped
  mdq::platform::ConsoleCapture cap;
  const auto t0 = std::chrono::steady_clock::now();
  press(P1_ER_DAQ);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  EXPECT_TRUE(board_readout_active());
  press(P1_ER_DAQ);
  EXPECT_NE(cap.text().find("Read-out already running"), std::string::npos) << cap.text();
  // Nothing else talks to the board meanwhile: the read-out owns the connection.
  press(P1_ER_SINGLE_EVENT);
  press(P1_ER_CLOSE);
  EXPECT_NE(cap.text().find("Single event refused: the board read-out is using the board"),
            std::string::npos)
      << cap.text();
  EXPECT_NE(cap.text().find("Close refused: the board read-out is using the board"),
            std::string::npos);
  EXPECT_TRUE(easiroc_Connected());
  EXPECT_FALSE(board_wait_readout(200)) << "a read-out until stopped ended by itself";
  board_request_stop();
  ASSERT_TRUE(board_wait_readout(10000));
  EXPECT_FALSE(board_readout_active());
  EXPECT_NE(cap.text().find("stop requested"), std::string::npos) << cap.text();
  EXPECT_NE(cap.text().find("\nEASIROC DAQ SUCESS\n"), std::string::npos);
  const auto bytes = read_file(file);
  EXPECT_EQ(bytes.size() % frame_bytes(1).size(), 0u) << "the file ends inside a frame";
  EXPECT_FALSE(board_->streaming());
}
