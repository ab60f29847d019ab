// Offline look at a stored run: a run file series loaded back into the live
// spectra, and the spectra shown exported as CSV.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "runfile.h"

// Which positions of the series go into the spectra. Positions are named
// by their grid indices, as the run's progress indicators show them.
struct ReplaySelection {
  bool all = true;
  int ix = 0;
  int iy = 0;
};

struct ReplayResult {
  std::vector<std::string> files;  // read, in order
  int positionsSeen = 0;           // position records in the series
  int positionsLoaded = 0;         // of those, loaded into the spectra
  std::uint64_t eventsSeen = 0;    // event records in the series
  std::uint64_t eventsLoaded = 0;  // of those, added to the spectra
  int filesIncomplete = 0;         // cut short: no end record, or a last record cut off
  int filesCorrupt = 0;            // unopenable, or a record that makes no sense
  // Events that precede every position record of the series (its first
  // file missing): loaded with "all positions" only.
  std::uint64_t eventsWithoutPosition = 0;
  std::uint64_t adcOutOfRange = 0;  // stored ADC values above 12 bits, not filled
  std::string summary;              // one line for the panel's indicator
};

// The files of the series `path` belongs to: NAME_file01.dat, NAME_file02.dat,
// ... for as long as they exist, whichever member was named. A name outside
// that pattern is a series of its own. Empty when `path` does not exist.
std::vector<std::string> replay_series_files(const std::string& path);

// Clears the spectra and fills them from the event records of `files`
// (read in the order given). Refused, spectra untouched, while a run is
// active or when no file can be opened. A corrupt or truncated file loads
// up to the fault; the console names the file and byte offset. Prints one
// summary line. 0 when something was read, -1 when refused. `every`, when
// given, sees every whole record of the series, whatever the selection.
int replay_load(const std::vector<std::string>& files, const ReplaySelection& sel,
                ReplayResult* result = nullptr,
                const std::function<void(const RunFileRecord&)>& every = {});

// Writes the spectra of channel `ch` as shown (TDC spectrum `tdcRange`,
// ADC gain range `adcRange`) to `path`: header row
// "spectrum,channel,range,bin,count", then one row per bin, all 65536 TDC
// bins then all 4096 ADC bins. The file appears whole or not at all.
// 0 on success, -1 (after a console line) on failure.
int replay_export_csv(const std::string& path, int ch, int tdcRange, int adcRange);
