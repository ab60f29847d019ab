// The station's own view: a program that does not link the simulated stand
// loads the simulated driver by path, brings the crate up and runs the
// crate commands, as `mdq --simulate` does.
#include <gtest/gtest.h>

#include "backend.h"
#include "crate.h"
#include "crate_test_support.h"
#include "dispatch.h"
#include "mdq_ui.h"
#include "platform.h"
#include "sim_driver.h"
#include "wienvme_dll.h"

using crate_test::count_of;
using mdq::platform::ConsoleCapture;

TEST(Station, CrateUpWithTheSimulatedDriverAndCommandsWork) {
  crate_test::DelayScope delay;
  wienvme_set_driver_path(mdq::sim::simulated_driver_path().c_str());
  SetCtrlVal(p1h, P1_TDC_WINDOW_WIDTH, 25);
  SetCtrlVal(p1h, P1_TDC_WINDOW_OFFSET, -30);
  SetCtrlVal(p1h, P1_TDC_EXTRA_MARGIN, 6);
  SetCtrlVal(p1h, P1_TDC_EDGE, 2);
  ConsoleCapture con;
  crate_startup();
  EXPECT_EQ(con.text(), "V1290_init().......Done\n");

  crate_install_handlers();
  con.clear();
  crate_test::handlers()[P1_TDC_READ_CONFIG](P1_TDC_READ_CONFIG);
  const std::string text = con.text();
  EXPECT_NE(text.find("Match window Width = 25\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Window Offset = 65506\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Extra Search Window = 6\n"), std::string::npos) << text;
  EXPECT_NE(text.find("TDC Edge type = 2\n"), std::string::npos) << text;
  EXPECT_EQ(count_of(text, "failed!"), 0u);

  con.clear();
  crate_test::handlers()[P1_PIO_VETO_ON](P1_PIO_VETO_ON);
  crate_test::handlers()[P1_PIO_PULSE](P1_PIO_PULSE);
  crate_test::handlers()[P1_TDC_HANDSHAKE](P1_TDC_HANDSHAKE);
  EXPECT_EQ(con.text(), "PIO VETO ON\nMicro handshake = 1\n");

  con.clear();
  crate_shutdown();
  EXPECT_EQ(con.text(), "hHandle 1\nhHandle 2\n");
  crate_shutdown();
  EXPECT_EQ(con.text(), "hHandle 1\nhHandle 2\n");
}
