// Station settings: the device constants of the station as defaults, which
// the command line may override.
#pragma once

#include <string>
#include "board_link.h"

struct StationSettings {
  std::string panelFile = "mdq_ui.uir";
  // VME interface driver library; empty = the built-in default path.
  std::string driverPath;
  // Run against the simulated test stand (simulated crate + board emulator).
  bool simulate = false;
  // Trigger rate of the simulated stand while the veto is released, Hz.
  double simRateHz = 300;
  // Free space a run keeps on the disk of its run file, MB.
  double minFreeMb = 100;
  // Board event reads failing in a row before a run ends (0 = never).
  int maxBoardFailures = 10;
  // EASIROC board; empty address = the board's default address.
  BoardLink board;
  // Operator script played through the event loop; headless = no display.
  std::string script;
  bool headless = false;
  // Start from the panel file's values instead of the remembered settings.
  bool noRestore = false;
  // Read-only monitor page: off while the port is negative (0 = any free port).
  int monitorPort = -1;
  std::string monitorAddress;  // empty = 127.0.0.1
  std::string monitorToken;
};

StationSettings& station_settings();
