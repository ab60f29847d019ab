// The acquisition worker: one run over the position grid.
#pragma once

#include <cstdint>
#include <string>

// Thread-pool function: takes the run a RunJob (run_config.h) describes and
// leaves its report there. Returns 0.
int daq_run(void* functionData);

// Busy-wait of iloop counting iterations (the run's short delays).
void wait_loop(std::uint32_t iloop);

// Calendar time source for the run's records and time steps (tests replace it).
using RunClock = std::uint32_t (*)();
void daq_set_clock(RunClock clock);

// At its start a run listens this long for the board to fall quiet behind
// the veto (frames of triggers from before the run are dropped), at most
// the second figure in all.
constexpr int kStartQuietMs = 50;
constexpr int kStartDiscardMaxMs = 1000;

// Interlocks. A run is refused, or ended cleanly at its next roll-over
// test, when less than this is free where its file goes (0 = no check).
constexpr std::int64_t kDefaultMinFreeBytes = 100'000'000;
void daq_set_min_free_bytes(std::int64_t bytes);
// A run ends after this many board event reads failed in a row (0 = never).
constexpr int kDefaultMaxBoardFailures = 10;
void daq_set_max_board_failures(int n);
int daq_max_board_failures();
// Where the free space comes from (tests replace it; nullptr = the file system).
using FreeSpaceProbe = std::int64_t (*)(const std::string& file);
void daq_set_free_space_probe(FreeSpaceProbe probe);
