// Dispatch of panel controls to their handlers. Each command module installs
// its handlers at start-up; a control without one prints that it is not
// available.
#pragma once

#include <string>

using ControlHandler = void (*)(int control);

void session_set_handler(int control, ControlHandler handler);
ControlHandler session_handler(int control);
// Runs the handler of `control` (or the not-available line). Returns false
// when the control has no handler at all.
bool session_dispatch(int control);

// Installed by the command modules (session/crate.cpp, board.cpp, bias.cpp,
// run_control.cpp).
void crate_install_handlers();
void board_install_handlers();
void bias_install_handlers();
void run_install_handlers();
// Stored run into the spectra, spectra export (session/replay_cmds.cpp).
void replay_install_handlers();
// Statistics, zoom, fits and the scan map (session/analysis_cmds.cpp).
void analysis_install_handlers();
// Beside a spectra export NAME.csv: the fits drawn on the graphs, as printed,
// in NAME_fit.txt (nothing when no fit is shown). 0, or -1 when not written.
int export_fit_results(const std::string& csvPath);

// Crate start-up and shutdown around the event loop.
void crate_startup();
void crate_shutdown();
