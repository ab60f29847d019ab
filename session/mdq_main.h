// The station's entry point: start-up, event loop, shutdown.
#pragma once

#include "settings.h"

// 0 after an orderly shutdown; -1 when the panel cannot be loaded.
int WinMain(const StationSettings& settings);

// The thread pool that runs the acquisition worker.
extern int poolHandle;

// The handlers of the main panel itself (clear, timer, refresh, y-modes,
// run-file header viewer), installed by WinMain.
void panel_install_handlers();
