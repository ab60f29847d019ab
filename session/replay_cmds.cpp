// The operator's offline look at a stored run: load a run file series into
// the spectra, export the spectra shown as CSV and the graphs as pictures.
#include <string>
#include <utility>
#include <vector>

#include "dispatch.h"
#include "display.h"
#include "mdq_ui.h"
#include "platform.h"
#include "replay.h"
#include "run_map.h"
#include "live_histograms.h"
#include "run_state.h"

namespace {

void on_load_spectra(int) {
  // Refused before the dialog: the operator learns at once, and the
  // spectra of the run in progress stay as they are.
  if (run_state().active()) {
    con_printf("A run is active: a stored run can be loaded once it has ended. Spectra unchanged.\n");
    return;
  }
  char path[300] = "";
  if (FileSelectPopup("", "*.dat", ".dat", "Load a stored run into the spectra", 1, 0, 0, 1, 0,
                      path, sizeof path) != 1) {
    if (path[0]) con_printf("Stored run not loaded: %s does not exist.\n", path);
    return;
  }
  ReplaySelection sel;
  int all = 1;
  GetCtrlVal(p1h, P1_LOAD_ALL, &all);
  GetCtrlVal(p1h, P1_LOAD_IX, &sel.ix);
  GetCtrlVal(p1h, P1_LOAD_IY, &sel.iy);
  sel.all = all != 0;
  std::vector<std::string> files = replay_series_files(path);
  ReplayResult res;
  // The scan map is built in the same pass.
  if (load_stored_run(files, sel, &res) != 0) return;
  SetCtrlVal(p1h, P1_LOAD_STATUS, res.summary.c_str());
  update_plots();
}

void on_export_csv(int) {
  char path[300] = "";
  if (FileSelectPopupEx("", "*.csv", ".csv", "Export the spectra shown as CSV", 2, 0, 0, path,
                        sizeof path) <= 0)
    return;
  const SpectrumChoice c = chosen_spectra();
  if (replay_export_csv(path, c.channel, c.tdcRange, c.adcRange) == 0) export_fit_results(path);
}

void on_export_png(int) {
  char path[300] = "";
  if (FileSelectPopupEx("", "*.png", ".png", "Save the graphs as pictures", 2, 0, 0, path,
                        sizeof path) <= 0)
    return;
  std::string stem = path;
  if (stem.size() > 4 && stem.compare(stem.size() - 4, 4, ".png") == 0) stem.resize(stem.size() - 4);
  // Drawn afresh so the pictures show the spectra as they are now.
  update_plots();
  const std::string tdc = stem + "_tdc.png", adc = stem + "_adc.png";
  bool ok = true;
  for (const auto& [graph, file] : {std::pair{int{P1_TDC_GRAPH}, tdc}, std::pair{int{P1_ADC_GRAPH}, adc}})
    if (SaveGraphImage(p1h, graph, file.c_str()) != 0) {
      con_printf("Graph not saved to %s: no panel window to draw it, or the folder is not "
                 "writable.\n",
                 file.c_str());
      ok = false;
    }
  if (ok) con_printf("Graphs saved: %s, %s\n", tdc.c_str(), adc.c_str());
}

// The indicator says what the spectra hold: once they are cleared or a run
// starts filling them, that is no longer the stored run.
ControlHandler g_clear = nullptr, g_run = nullptr;

void on_clear_then_mark(int control) {
  if (g_clear) g_clear(control);
  SetCtrlVal(p1h, P1_LOAD_STATUS, "live spectra");
}

void on_run_then_mark(int control) {
  if (g_run) g_run(control);
  if (run_state().active()) SetCtrlVal(p1h, P1_LOAD_STATUS, "live spectra");
}

}  // namespace

void replay_install_handlers() {
  // After the panel's and the run's own handlers, which these wrap.
  if (ControlHandler h = session_handler(P1_CLEAR); h != on_clear_then_mark) g_clear = h;
  if (ControlHandler h = session_handler(P1_RUN); h != on_run_then_mark) g_run = h;
  session_set_handler(P1_CLEAR, on_clear_then_mark);
  session_set_handler(P1_RUN, on_run_then_mark);
  session_set_handler(P1_LOAD_SPECTRA, on_load_spectra);
  session_set_handler(P1_EXPORT_CSV, on_export_csv);
  session_set_handler(P1_EXPORT_PNG, on_export_png);
}
