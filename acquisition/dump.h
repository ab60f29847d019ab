// Human-readable summary of a run file series (and the events as CSV).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Returns 0 when every file read back whole and complete, 1 otherwise.
// In CSV mode `out` gets the event rows, then the per-position summary
// (see dump_position_summary) after one empty line; with `summaryOut` the
// summary goes there instead and `out` holds the event table alone.
int dump_run_files(const std::vector<std::string>& files, bool csv, std::FILE* out,
                   std::FILE* summaryOut = nullptr);

// One scan position of a series, as the summary counts it.
struct PositionSummary {
  std::string file;  // the file holding its position record ("" for events before any)
  bool hasPos = false;
  int ix = 0, iy = 0, xset = 0, yset = 0;
  std::uint64_t saved = 0;     // event records
  std::uint32_t firstNev = 0, lastNev = 0;
  std::uint32_t rangeEnd = 0;  // last number of the position's event range
  std::uint64_t skipped = 0;   // numbers in 1..rangeEnd without an event record
};

// Per-position summary of a series. The event range of a position is
// 1..N with N the run header's events per position (at least 1: a run
// takes one event even when asked for none), or the last saved number when
// larger. The untaken tail of a position the run never finished is not
// known from the file, so for the last position of a series that stops
// short of its grid (stopped run, lost or cut-short file) and when there
// is no run header, N is the last saved number. A position ended early by
// the time step, or by a stop during the grid's very last position, cannot
// be told from one that ran to its count: its untaken numbers count as
// skipped. Skipped = N minus the events saved: events the save rule
// dropped and triggers skipped by the trigger-wait rule.
std::vector<PositionSummary> summarize_positions(const std::vector<std::string>& files);

// CSV: header "position,file,ix,iy,xset,yset,saved,skipped,first_nev,last_nev"
// then one row per position in file order; events before any position
// record form a row with position "none" and empty indices.
void dump_position_summary(const std::vector<PositionSummary>& rows, std::FILE* out);
