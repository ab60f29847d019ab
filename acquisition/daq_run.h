// The acquisition worker: one run over the position grid.
#pragma once

#include <cstdint>

// Thread-pool function; functionData is not used. Returns 0.
int daq_run(void* functionData);

// Busy-wait of iloop counting iterations (the run's short delays).
void wait_loop(std::uint32_t iloop);

// Calendar time source for the run's records and time steps (tests replace it).
using RunClock = std::uint32_t (*)();
void daq_set_clock(RunClock clock);
