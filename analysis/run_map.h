// The scan map the panel shows: filled live by the run loop, or built from
// a stored run series through the stored-run loader.
#pragma once

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

// Run-loop hooks: a new run's grid, each position, each decoded event.
void scan_map_run_start(const RUNREC& run);
void scan_map_position(const POSREC& pos);
void scan_map_event(const EventTable& ev, bool saved);

// Loads the series into the spectra (all positions, or the one `sel` names)
// and builds `map` from every position of it, in one pass through the
// stored-run loader. Same return as replay_load.
int scan_map_from_run(const std::vector<std::string>& files, const ReplaySelection& sel,
                      ScanMap& map, ReplayResult* result = nullptr);
// The same into the shown map, which then names the series as its source.
int load_stored_run(const std::vector<std::string>& files, const ReplaySelection& sel,
                    ReplayResult* result = nullptr);
