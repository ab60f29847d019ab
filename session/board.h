// EASIROC board commands of the main panel.
#pragma once

#include <string>

// The handlers board_install_handlers() installs, one per control.
void board_on_connect(int control);
void board_on_close(int control);
void board_on_load_ini(int control);
void board_on_sc(int control);
void board_on_read_sc(int control);
void board_on_asic_init(int control);
void board_on_probe(int control);
void board_on_daq(int control);
void board_on_single_start(int control);
void board_on_single_event(int control);
void board_on_single_stop(int control);

// Asks a running continuous read-out to stop (any thread): it stops the
// board, drains it and closes a complete file.
void board_request_stop();
// A continuous read-out is going on (any thread).
bool board_readout_active();
// Event-loop thread: waits (the panel live) at most timeoutMs for the
// read-out to end; true when none is left going.
bool board_wait_readout(int timeoutMs);
