// The station as an operator meets it: headless, driven by scripts through
// the real event loop and panel.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "runfile.h"
#include "station.h"

namespace fs = std::filesystem;

namespace {
bool has(const std::string& out, const std::string& what) {
  return out.find(what) != std::string::npos;
}
}  // namespace

TEST(Station, PanelControlsDispatchThroughTheEventLoop) {
  TempDir d;
  // A run file made by the writer.
  RunFileWriter w;
  ASSERT_TRUE(w.open(d / "stored", 0));
  RUNREC r;
  r.nx = 4, r.x0 = -30, r.dx = 15, r.ny = 3, r.y0 = 7, r.dy = -2, r.nev = 1234;
  ASSERT_TRUE(w.write(r));
  ASSERT_TRUE(w.close(1));
  std::ofstream(d / "junk.dat") << "not a run file at all, but longer than fifty-six bytes of text";

  std::string png = d / "panel.png";
  std::string script =
      "# start-up state\n"
      "expect P1_ADC_RANGE 0\n"
      "set P1_CHANNEL 40\n"
      "expect P1_CHANNEL 31\n"
      "set P1_TDC_YMODE 1\n"
      "set P1_ADC_YMODE 1\n"
      "press P1_REFRESH\n"
      "press P1_CLEAR\n"
      "set P1_AUTO_REFRESH 1\n"
      "wait 1.1\n"
      "file " + d / "stored_file01.dat" + "\n"
      "press P1_OPEN_RUN\n"
      "expect P1_NX 4\nexpect P1_X0 -30\nexpect P1_DX 15\n"
      "expect P1_NY 3\nexpect P1_Y0 7\nexpect P1_DY -2\nexpect P1_NEV 1234\n"
      "file " + d / "junk.dat" + "\n"
      "press P1_OPEN_RUN\n"
      "expect P1_NX 4\n"
      "file\n"
      "press P1_OPEN_RUN\n"
      "press P1_PIO_VETO_ON\n"
      "screenshot " + png + "\n"
      "quit\n";
  StationResult res = run_station(script);
  EXPECT_EQ(res.exitCode, 0) << res.output;
  EXPECT_TRUE(has(res.output, "junk.dat not loaded: first word is")) << res.output;
  EXPECT_TRUE(has(res.output, "screenshot: " + png)) << res.output;
  ASSERT_TRUE(fs::exists(png));
  EXPECT_GT(fs::file_size(png), 20000u);  // a real picture of the panel, not an empty image
  std::ifstream in(png, std::ios::binary);
  char sig[8];
  in.read(sig, 8);
  EXPECT_EQ(std::string(sig + 1, 3), "PNG");
}

TEST(Station, ScriptMismatchFailsTheRun) {
  StationResult res = run_station("expect P1_CHANNEL 5\nquit\n");
  EXPECT_NE(res.exitCode, 0);
  EXPECT_TRUE(has(res.output, "expected P1_CHANNEL = 5, panel shows 0")) << res.output;
}

TEST(Station, HeadlessScriptWithoutQuitStillEnds) {
  StationResult res = run_station("press P1_REFRESH\n", "", 60);
  EXPECT_EQ(res.exitCode, 0) << res.output;
}

TEST(Station, BrokenPanelDescriptionIsRefusedClearly) {
  TempDir d;
  std::ifstream in(MDQ_UIR);
  std::string uir((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string broken = std::regex_replace(uir, std::regex("\"P1_RUN\""), "\"P1_RUNX\"");
  ASSERT_NE(broken, uir);
  std::ofstream(d / "broken.uir") << broken;
  StationResult res = run_station("quit\n", "--panel " + d / "broken.uir");
  EXPECT_NE(res.exitCode, 0);
  EXPECT_TRUE(has(res.output, "has no control P1_RUN")) << res.output;

  StationResult missing = run_station("quit\n", "--panel " + d / "nowhere.uir");
  EXPECT_NE(missing.exitCode, 0);
  EXPECT_TRUE(has(missing.output, "Cannot open the panel description")) << missing.output;
}
