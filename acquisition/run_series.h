// A run's file series on disk: which files belong to a base name, whether
// any of them is already there, and run numbers for a base name that holds
// the {run} placeholder.
#pragma once

#include <string>
#include <vector>

namespace run_series {

// The placeholder replaced by the run number ("out/scan_{run}").
constexpr const char* kPlaceholder = "{run}";

// Files of the series of `base` that exist now: base_fileNN.dat (any
// number) and the run record base_run.json, sorted by name.
std::vector<std::string> existing(const std::string& base);

// Removes every file of the series. False (with the file and reason in
// *why) at the first file that cannot be removed.
bool remove(const std::string& base, std::string* why);

bool has_placeholder(const std::string& base);

// `pattern` with every {run} replaced by the number, five digits or more.
std::string expand(const std::string& pattern, int run);

// One past the highest run number of the series files in the pattern's
// folder (1 when there is none), so a deleted run never gives its number
// again. Files not of a series of this pattern do not count. -1 (with a
// reason) when the folder cannot be read or the placeholder sits in the
// folder part of the name.
int next_number(const std::string& pattern, std::string* why);

}  // namespace run_series

// The series at the start of a saving run: {run} expanded, a series
// already on disk refused, or removed first when `overwrite` is set. Says
// on the console what it numbered or removed.
struct RunSeriesStart {
  bool ok = false;
  std::string base;     // what the files are named after
  int number = 0;       // run number, 0 without {run}
  std::string refusal;  // why the run cannot start, when not ok
};
RunSeriesStart run_series_start(const std::string& pattern, bool overwrite);

// " Run number 00012." for the run's end line; empty for 0 (no {run}).
std::string run_number_note(int number);
