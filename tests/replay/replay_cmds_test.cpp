// The panel's stored-run controls, driven through the dispatch without a
// window.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "backend.h"
#include "dispatch.h"
#include "mdq_main.h"
#include "mdq_ui.h"
#include "platform.h"
#include "runfile.h"
#include "live_histograms.h"
#include "run_state.h"

namespace fs = std::filesystem;
using mdq::platform::ConsoleCapture;

class StoredRunControls : public ::testing::Test {
 protected:
  void SetUp() override {
    mdq::platform::reset_for_tests();
    p1h = 1;
    panel_install_handlers();
    replay_install_handlers();
    replay_install_handlers();  // twice: still one wrapper, not two
    run_state().reset();
    spectra_clear();
    for (int c : {P1_CHANNEL, P1_TDC_RANGE, P1_ADC_RANGE, P1_LOAD_IX, P1_LOAD_IY}) SetCtrlVal(p1h, c, 0);
    SetCtrlVal(p1h, P1_LOAD_ALL, 1);
    SetCtrlVal(p1h, P1_LOAD_STATUS, "live spectra");
    char tmpl[] = "/tmp/mdq_replaycmd_XXXXXX";
    dir_ = mkdtemp(tmpl);
    // Two positions, channel 2: TDC 300 / ADC 30 at (0,0), TDC 301 / ADC 31 at (1,0).
    RunFileWriter w;
    EXPECT_TRUE(w.open((dir_ / "run").string(), 0));
    RUNREC r;
    r.nx = 2, r.ny = 1, r.nev = 1;
    EXPECT_TRUE(w.write(r));
    for (int ix = 0; ix < 2; ++ix) {
      POSREC p;
      p.ix = ix;
      EXPECT_TRUE(w.write(p));
      EVTREC e;
      e.nev = 1;
      e.data[2] = static_cast<std::uint16_t>(300 + ix);
      e.data[34] = static_cast<std::uint16_t>(30 + ix);
      EXPECT_TRUE(w.write(e));
    }
    EXPECT_TRUE(w.close(1));
  }
  void TearDown() override {
    run_state().reset();
    fs::remove_all(dir_);
  }
  std::string path(const std::string& n) const { return (dir_ / n).string(); }
  std::string status() {
    std::string s;
    GetCtrlVal(p1h, P1_LOAD_STATUS, &s);
    return s;
  }
  fs::path dir_;
};

TEST_F(StoredRunControls, LoadShowsWhatTheSpectraHold) {
  QueueFileSelection(path("run_file01.dat"));
  session_dispatch(P1_LOAD_SPECTRA);
  EXPECT_EQ(dtdc[2][0][300].load(), 1);
  EXPECT_EQ(dtdc[2][0][301].load(), 1);
  EXPECT_EQ(status(), "run_file01.dat: all positions, 2 event(s)");

  SetCtrlVal(p1h, P1_LOAD_ALL, 0);
  SetCtrlVal(p1h, P1_LOAD_IX, 1);
  QueueFileSelection(path("run_file01.dat"));
  session_dispatch(P1_LOAD_SPECTRA);
  EXPECT_EQ(dtdc[2][0][300].load(), 0);
  EXPECT_EQ(dtdc[2][0][301].load(), 1);
  EXPECT_EQ(dadc[2][0][31].load(), 1);
  EXPECT_EQ(status(), "run_file01.dat: position ix=1 iy=0, 1 event(s)");

  // Cancelled, or a file that is not there: nothing changes.
  ConsoleCapture cap;
  QueueFileSelection("");
  session_dispatch(P1_LOAD_SPECTRA);
  QueueFileSelection(path("nothere.dat"));
  session_dispatch(P1_LOAD_SPECTRA);
  EXPECT_EQ(dtdc[2][0][301].load(), 1);
  EXPECT_NE(cap.text().find("Stored run not loaded: " + path("nothere.dat") + " does not exist."),
            std::string::npos);

  // Cleared: the indicator no longer claims the stored run.
  session_dispatch(P1_CLEAR);
  EXPECT_EQ(dtdc[2][0][301].load(), 0);
  EXPECT_EQ(status(), "live spectra");
}

TEST_F(StoredRunControls, RefusedDuringARun) {
  spectrum_add(dtdc[2][0][5]);
  (void)run_state().request_start();
  ConsoleCapture cap;
  QueueFileSelection(path("run_file01.dat"));
  session_dispatch(P1_LOAD_SPECTRA);
  EXPECT_EQ(dtdc[2][0][5].load(), 1);
  EXPECT_EQ(dtdc[2][0][300].load(), 0);
  EXPECT_EQ(status(), "live spectra");
  EXPECT_NE(cap.text().find("A run is active: a stored run can be loaded once it has ended."),
            std::string::npos);
  // Refused before the dialog: the answer queued for it is still there
  // for the next press, once the run has ended.
  run_state().reset();
  session_dispatch(P1_LOAD_SPECTRA);
  EXPECT_EQ(dtdc[2][0][300].load(), 1);
  // Exporting what a run shows is harmless and stays allowed.
  (void)run_state().request_start();
  QueueFileSelection(path("live.csv"));
  session_dispatch(P1_EXPORT_CSV);
  EXPECT_TRUE(fs::exists(path("live.csv")));
}

TEST_F(StoredRunControls, ExportsFollowTheSelectorsAndSayWhenTheyCannot) {
  for (int i = 0; i < 4; ++i) spectrum_add(dadc[31][1][4000]);
  SetCtrlVal(p1h, P1_CHANNEL, 31);
  SetCtrlVal(p1h, P1_ADC_RANGE, 1);
  QueueFileSelection(path("c31.csv"));
  session_dispatch(P1_EXPORT_CSV);
  std::ifstream in(path("c31.csv"));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("\nadc,31,1,4000,4\n"), std::string::npos);
  EXPECT_NE(text.find("\ntdc,31,0,0,0\n"), std::string::npos);

  // No window here to draw the graphs: a clear line, no file.
  ConsoleCapture cap;
  QueueFileSelection(path("pic.png"));
  session_dispatch(P1_EXPORT_PNG);
  EXPECT_FALSE(fs::exists(path("pic_tdc.png")));
  EXPECT_NE(cap.text().find("Graph not saved to " + path("pic_tdc.png") + ": no panel window"),
            std::string::npos)
      << cap.text();
}
