#include "mdq_main.h"

#include <string>

#include "dispatch.h"
#include "display.h"
#include "mdq_ui.h"
#include "panel_memory.h"
#include "monitor_feed.h"
#include "platform.h"
#include "runfile.h"
#include "script.h"
#include "live_histograms.h"
#include "run_state.h"
#include "board.h"

namespace {

int pID = 0;
int rID = 0;

void on_clear(int) {
  spectra_clear();
  update_plots();
}

void on_timer(int) {
  ntics.fetch_add(1);
  monitor_feed_tick();
  int refon = 0;
  GetCtrlVal(p1h, P1_AUTO_REFRESH, &refon);
  if (refon) update_plots();
}

void on_refresh(int) { update_plots(); }

void on_ymode(int control) {
  int status = 0;
  GetCtrlVal(p1h, control, &status);
  int graph = control == P1_TDC_YMODE ? P1_TDC_GRAPH : P1_ADC_GRAPH;
  SetCtrlAttribute(p1h, graph, ATTR_YMAP_MODE, status);
  update_plots();
}

void on_open_run(int) {
  if (run_state().active()) return;
  char dfile[300] = "";
  int r = FileSelectPopup("", "*.dat", ".dat", "Izberi datoteko s podatki", 3, 0, 0, 1, 0, dfile,
                          sizeof dfile);
  if (r != 1) return;
  std::string why;
  auto runrec = read_run_header(dfile, &why);
  if (!runrec) {
    con_printf("Run file %s not loaded: %s. Panel settings unchanged.\n", dfile, why.c_str());
    return;
  }
  SetCtrlVal(p1h, P1_NX, runrec->nx);
  SetCtrlVal(p1h, P1_DX, runrec->dx);
  SetCtrlVal(p1h, P1_X0, runrec->x0);
  SetCtrlVal(p1h, P1_NY, runrec->ny);
  SetCtrlVal(p1h, P1_DY, runrec->dy);
  SetCtrlVal(p1h, P1_Y0, runrec->y0);
  SetCtrlVal(p1h, P1_NEV, runrec->nev);
  // Say what changed: the grid controls are far from the button.
  con_printf("Run settings loaded from %s: %d x %d positions (x0 %d dx %d, y0 %d dy %d), "
             "%u events per position.\n",
             dfile, runrec->nx, runrec->ny, runrec->x0, runrec->dx, runrec->y0, runrec->dy,
             runrec->nev);
}

}  // namespace

int poolHandle = 0;

void panel_install_handlers() {
  session_set_handler(P1_CLEAR, on_clear);
  session_set_handler(P1_TIMER, on_timer);
  session_set_handler(P1_REFRESH, on_refresh);
  session_set_handler(P1_TDC_YMODE, on_ymode);
  session_set_handler(P1_ADC_YMODE, on_ymode);
  session_set_handler(P1_OPEN_RUN, on_open_run);
  session_set_handler(P1_DEFAULTS, panel_memory_defaults);
}

int WinMain(const StationSettings& settings) {
  // The run-time engine (the panel backend) is set up by the caller.
  SetSleepPolicy(3);
  CmtNewThreadPool(10, &poolHandle);

  RegisterCtrlCallback("cb_timer", cb_timer);
  p1h = LoadPanel(0, settings.panelFile.c_str(), 1);
  if (p1h < 0) {
    CmtDiscardThreadPool(poolHandle);
    return -1;
  }
  DisplayPanel(p1h);

  panel_install_handlers();
  crate_install_handlers();
  run_install_handlers();
  board_install_handlers();
  bias_install_handlers();
  replay_install_handlers();
  analysis_install_handlers();

  // Before the crate start-up: it programs the TDC from the panel.
  panel_memory_take_defaults();
  panel_memory_restore(!settings.noRestore);

  crate_startup();

  SetCtrlAttribute(p1h, P1_CHANNEL, ATTR_MAX_VALUE, 31);
  int xy = 0;
  GetCtrlVal(p1h, P1_XY, &xy);
  SetCtrlVal(p1h, P1_ADC_RANGE, xy - 2);
  QueueUserEvent(1000, p1h, P1_CLEAR);

  ScriptRunner script;
  if (!settings.script.empty()) script.start(settings.script);

  do {
    GetUserEvent(1, &pID, &rID);
    session_dispatch(rID);
    if (rID == P1_QUIT && run_state().active())
      con_printf("A run is active: switch RUN off before quitting.\n");
    else if (rID == P1_QUIT && board_readout_active())
      con_printf("The board read-out is running: press Stop read-out before quitting.\n");
  } while (rID != P1_QUIT || run_state().active() || board_readout_active());

  CmtDiscardThreadPool(poolHandle);
  panel_memory_save();
  DiscardPanel(p1h);
  crate_shutdown();
  script.join();
  return script.failed() ? 3 : 0;
}
