#include "run_control.h"

#include <cstdint>

#include "daq_run.h"
#include "dispatch.h"
#include "mdq_main.h"
#include "mdq_ui.h"
#include "platform.h"
#include "spectra.h"
#include "wienvme_dll.h"

namespace {
int tfID = 0;
int dummy = 0;

// A worker that ended its run by itself is still scheduled: collect it.
void reclaim_finished_worker() {
  if (tfID && CmtReleaseThreadPoolFunctionID(poolHandle, tfID) == 0) tfID = 0;
}
}  // namespace

int run_worker_id() { return tfID; }

void run_toggle(int) {
  int on = 0;
  GetCtrlVal(p1h, P1_RUN, &on);
  if (on) {
    reclaim_finished_worker();
    if (tfID && daq_on.load() == 0) {
      // The last run is ending by itself (closing its file): a short wait,
      // then the new run starts as asked.
      CmtWaitForThreadPoolFunctionCompletion(poolHandle, tfID, OPT_TP_PROCESS_EVENTS_WHILE_WAITING);
      reclaim_finished_worker();
    }
    if (tfID) {
      con_printf("A run is already active.\n");
      SetCtrlVal(p1h, P1_RUN, daq_on.load() ? 1 : 0);  // the toggle shows whether a run is on
      return;
    }
    daq_on.store(1);
    if (CmtScheduleThreadPoolFunction(poolHandle, daq_run, &dummy, &tfID) != 0) {
      tfID = 0;
      daq_on.store(0);
      SetCtrlVal(p1h, P1_RUN, 0);
      con_printf("The run could not be started (no worker thread available).\n");
    }
    return;
  }
  daq_on.store(0);
  if (tfID) {
    CmtWaitForThreadPoolFunctionCompletion(poolHandle, tfID, OPT_TP_PROCESS_EVENTS_WHILE_WAITING);
    CmtReleaseThreadPoolFunctionID(poolHandle, tfID);
    tfID = 0;
  }
  std::uint16_t dum = 0;
  WIENVME_write16(hHandle24, 1, 0x81B842, &dum);
}

void run_install_handlers() { session_set_handler(P1_RUN, run_toggle); }
