// The run toggle: starts the acquisition worker and, switched off, waits
// for it with the panel alive, then releases the veto.
#pragma once

void run_toggle(int control);
// The worker's function identifier, 0 when none is scheduled.
int run_worker_id();
