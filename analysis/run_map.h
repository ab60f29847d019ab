// The scan map the panel shows: filled live by the run loop, or built from
// a stored run series through the stored-run loader.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "decode.h"
#include "replay.h"
#include "runfile.h"
#include "scanmap.h"

// The one map the panel shows.
ScanMap& shown_scan_map();

// Where the shown map came from.
struct MapSource {
  bool stored = false;              // false: the live run (or nothing yet)
  std::vector<std::string> files;   // the stored series, when stored
};
MapSource shown_map_source();

// Run-loop hooks: a new run's grid, each position, each decoded event, the
// end of the scan. At a position change (before the spectra are cleared)
// and at the end, the windows around the peaks of the position's spectra
// are copied; their fits run on a thread of their own and reach the map a
// little later (the end waits for them, at most 2 s).
void scan_map_run_start(const RUNREC& run);
void scan_map_position(const POSREC& pos);
void scan_map_event(const EventTable& ev, bool saved);
// The scan is over: the last position's fits start (they run while the run
// file is closed). scan_map_run_end then waits for them.
void scan_map_scan_end();
void scan_map_run_end();
// Waits up to `limit` for the fits handed over so far; true when all are in.
bool scan_map_fits_done(std::chrono::milliseconds limit);
// Positions whose fits were dropped since the process started because the
// fits fell too far behind the run.
std::uint64_t scan_map_fits_dropped();

// Loads the series into the spectra (all positions, or the one `sel` names)
// and builds `map` from every position of it, in one pass through the
// stored-run loader; each position's spectra are fitted as the run fits
// them. Same return as replay_load.
int scan_map_from_run(const std::vector<std::string>& files, const ReplaySelection& sel,
                      ScanMap& map, ReplayResult* result = nullptr);
// The same into the shown map, which then names the series as its source.
int load_stored_run(const std::vector<std::string>& files, const ReplaySelection& sel,
                    ReplayResult* result = nullptr);
