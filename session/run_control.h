// The run toggle: starts the acquisition worker and, switched off, waits
// for it with the panel alive, then releases the veto.
#pragma once

void run_toggle(int control);
// The worker's function identifier, 0 when none is scheduled.
int run_worker_id();

#include "run_config.h"

// The run the panel describes now.
RunConfig run_config_from_panel();
// The report of the last run that ended (valid once its worker is done).
const RunReport& last_run_report();
// The observer a run started from the panel reports through.
RunObserver& panel_run_observer();
