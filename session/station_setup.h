// Applies the station settings to the device modules.
#pragma once

#include "settings.h"

// False (after a console line) when the settings cannot be applied.
bool station_setup(const StationSettings& s);
