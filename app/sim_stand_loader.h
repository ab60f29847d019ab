// `--simulate`: loads the simulated stand's library beside the executable
// and points the station's settings at it.
#pragma once

#include "settings.h"

// False (after a console line) when the stand cannot be brought up.
bool sim_stand_load(StationSettings& s);
void sim_stand_unload();
