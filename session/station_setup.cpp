#include "station_setup.h"

#include "platform.h"

bool station_setup(const StationSettings& s) {
  if (s.simulate) con_printf("Simulated test stand\n");
  return true;
}

void station_teardown() {}
