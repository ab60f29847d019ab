// The panel's own handlers, driven through the dispatch without a window.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "backend.h"
#include "dispatch.h"
#include "display.h"
#include "mdq_main.h"
#include "mdq_ui.h"
#include "platform.h"
#include "runfile.h"
#include "live_histograms.h"
#include "run_state.h"

namespace fs = std::filesystem;

class PanelHandlers : public ::testing::Test {
 protected:
  void SetUp() override {
    mdq::platform::reset_for_tests();
    p1h = 1;
    panel_install_handlers();
    run_state().reset();
    for (int c : {P1_NX, P1_DX, P1_X0, P1_NY, P1_DY, P1_Y0, P1_NEV}) SetCtrlVal(p1h, c, -7);
    dir_ = fs::temp_directory_path() / ("mdq_session_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string writeRun(const RUNREC& r, std::size_t keep = kRunRecSize) {
    auto b = encode(r);
    std::string p = (dir_ / "h.dat").string();
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                             static_cast<std::streamsize>(keep));
    return p;
  }
  std::array<int, 7> shown() {
    std::array<int, 7> v{};
    int i = 0;
    for (int c : {P1_NX, P1_DX, P1_X0, P1_NY, P1_DY, P1_Y0, P1_NEV}) GetCtrlVal(p1h, c, &v[i++]);
    return v;
  }
  fs::path dir_;
};

TEST_F(PanelHandlers, OpenRunShowsExactlyTheSevenHeaderFields) {
  RUNREC r;
  r.nx = 3, r.dx = 10, r.x0 = -4, r.ny = 2, r.dy = 5, r.y0 = 100, r.nev = 2000;
  r.xy = 9, r.ped = 11;
  SetCtrlVal(p1h, P1_XY, 1);
  SetCtrlVal(p1h, P1_PED, 2);
  QueueFileSelection(writeRun(r));
  mdq::platform::ConsoleCapture con;
  session_dispatch(P1_OPEN_RUN);
  EXPECT_EQ(shown(), (std::array<int, 7>{3, 10, -4, 2, 5, 100, 2000}));
  EXPECT_NE(con.text().find(": 3 x 2 positions (x0 -4 dx 10, y0 100 dy 5), 2000 events per position."),
            std::string::npos)
      << con.text();
  int xy = 0, ped = 0;
  GetCtrlVal(p1h, P1_XY, &xy);
  GetCtrlVal(p1h, P1_PED, &ped);
  EXPECT_EQ(xy, 1);  // not restored
  EXPECT_EQ(ped, 2);
}

TEST_F(PanelHandlers, OpenRunRefusesBadFilesAndKeepsThePanel) {
  const std::array<int, 7> before{-7, -7, -7, -7, -7, -7, -7};
  RUNREC r;
  r.nx = 5;
  {
    mdq::platform::ConsoleCapture con;
    QueueFileSelection(writeRun(r, 55));  // one byte short
    session_dispatch(P1_OPEN_RUN);
    EXPECT_EQ(shown(), before);
    EXPECT_NE(con.text().find("not loaded"), std::string::npos);
  }
  r.id = 4;  // an event record, not a header
  QueueFileSelection(writeRun(r));
  session_dispatch(P1_OPEN_RUN);
  EXPECT_EQ(shown(), before);
  QueueFileSelection("");  // cancelled
  session_dispatch(P1_OPEN_RUN);
  EXPECT_EQ(shown(), before);
  // Guarded: nothing happens during a run, not even the dialog.
  r.id = 1;
  QueueFileSelection(writeRun(r));
  (void)run_state().request_start();
  session_dispatch(P1_OPEN_RUN);
  run_state().reset();
  EXPECT_EQ(shown(), before);
}

TEST_F(PanelHandlers, TimerCountsTicksAndClearEmptiesSpectra) {
  ntics = 0;
  SetCtrlVal(p1h, P1_AUTO_REFRESH, 0);
  int before = ph_tdc;
  session_dispatch(P1_TIMER);
  session_dispatch(P1_TIMER);
  EXPECT_EQ(ntics.load(), 2);
  EXPECT_EQ(ph_tdc, before);  // no redraw with auto-refresh off
  SetCtrlVal(p1h, P1_AUTO_REFRESH, 1);
  session_dispatch(P1_TIMER);
  EXPECT_EQ(ntics.load(), 3);
  EXPECT_GT(ph_tdc, before);

  spectrum_add(dtdc[31][1][65535]);
  spectrum_add(dadc[0][0][4095]);
  session_dispatch(P1_CLEAR);
  EXPECT_EQ(dtdc[31][1][65535].load(), 0);
  EXPECT_EQ(dadc[0][0][4095].load(), 0);
}

TEST_F(PanelHandlers, RedrawSurvivesOutOfRangeSelectors) {
  // Values that never came from the panel's bounded selectors.
  SetCtrlVal(p1h, P1_CHANNEL, 1000);
  SetCtrlVal(p1h, P1_TDC_RANGE, -3);
  SetCtrlVal(p1h, P1_ADC_RANGE, 7);
  EXPECT_EQ(update_plots(), 0);
  EXPECT_GT(ph_tdc, 0);
  EXPECT_GT(ph_adc, 0);
}

TEST_F(PanelHandlers, CommandsWithoutAModuleSaySo) {
  mdq::platform::ConsoleCapture con;
  session_set_handler(P1_ER_HV_READ, nullptr);
  EXPECT_FALSE(session_dispatch(P1_ER_HV_READ));
  EXPECT_NE(con.text().find("P1_ER_HV_READ: not available"), std::string::npos);
  con.clear();
  EXPECT_FALSE(session_dispatch(P1_QUIT));  // quit has no handler and no complaint
  EXPECT_FALSE(session_dispatch(P1_NEV));   // value controls are not dispatched
  EXPECT_EQ(con.text(), "");
}
