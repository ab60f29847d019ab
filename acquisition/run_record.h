// The run record NAME_run.json written beside a run's files (at start, then
// again at the end: a record without an end is a run that never finished),
// and the run log runs.csv of an output folder, one line per run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runfile.h"

struct RunRecordPosition {
  int ix = 0, iy = 0, xset = 0, yset = 0;
  std::uint32_t time = 0;
  // Filled by the run loop as it goes.
  std::uint64_t saved = 0;      // event records written
  std::uint64_t skipped = 0;    // triggers the trigger-wait rule skipped
  std::uint64_t dropped = 0;    // events read out but not saved by the save rule
  std::uint64_t mispaired = 0;  // pairing doubts: TDC counts disagreed, frames behind the veto
  std::uint64_t checked = 0;        // read-outs whose TDC counts proved the pairing
  std::uint64_t framesDropped = 0;  // board frames taken and not used
  std::uint64_t multiTrigger = 0;   // read-outs holding more than one trigger
};

struct RunRecordFile {
  std::string name;  // without its folder: the series stays beside its record
  std::uint64_t size = 0;
  std::string sha256;  // lower-case hex; empty until the run has ended
};

struct RunRecordBias {
  double setVolts = 0;
  int dac = 0;
  std::int64_t setTime = 0;  // 0: never set in this session
  std::optional<double> readVolts, readMicroamps;
  std::int64_t readTime = 0;
};

struct RunRecordBoardConfig {
  std::string path;
  std::vector<std::uint32_t> values;
  std::string sha256;  // of the bytes the values were loaded from
};

struct RunRecord {
  std::string base;     // the file base name of the run
  std::string comment;  // the operator's
  std::string version;  // the station's build
  std::string host;
  std::int64_t startTime = 0;
  bool ended = false;
  std::int64_t endTime = 0;
  std::string endedBy;  // "grid done", "operator stop", "interlock: ...", "run file error"

  // Settings as read at the start.
  RUNREC header;
  std::uint32_t stepMinutes = 0;
  std::int64_t fileLimitBytes = 0;
  bool readBoard = true;
  bool lateSkip = true;
  bool suppress = false;
  int tdcMin = 0;
  double frac = 0;
  // TDC settings on the panel (what the last init sent).
  int tdcWindowWidth = 0, tdcWindowOffset = 0, tdcExtraMargin = 0, tdcEdge = 0;
  // The TDC's own answer at its last configuration read-back (time 0: none
  // since start-up); a value it did not give is empty.
  std::int64_t tdcReadbackTime = 0;
  std::vector<std::pair<std::string, std::optional<int>>> tdcReadback;

  std::optional<RunRecordBoardConfig> board;
  std::optional<RunRecordBias> bias;

  std::vector<RunRecordFile> files;
  std::vector<RunRecordPosition> positions;

  // Sums over the positions.
  std::uint64_t saved() const;
  std::uint64_t skipped() const;
  std::uint64_t dropped() const;
  std::uint64_t mispaired() const;
  std::uint64_t framesDropped() const;
};

// "base_run.json".
std::string run_record_path(const std::string& base);
// The run record of the series `file` belongs to ("x_file03.dat" -> "x_run.json");
// a name ending in "_run.json" is taken as it is. Empty when neither.
std::string run_record_path_for(const std::string& file);
// Folder of the run log for a base name.
std::string run_log_path(const std::string& base);

std::string run_record_json(const RunRecord& r);
// Parses what run_record_json wrote; nullopt with a reason otherwise.
std::optional<RunRecord> run_record_parse(const std::string& text, std::string* why);
std::optional<RunRecord> run_record_read(const std::string& path, std::string* why);

// Writes the record to `path` through a temporary file and a rename, so a
// reader (or a crash) sees the old record or the new one, never half of one.
bool run_record_write(const RunRecord& r, const std::string& path, std::string* why);

// Fills the size and SHA-256 of every file of the record, found in `dir`.
bool run_record_hash_files(RunRecord& r, const std::string& dir, std::string* why);

// The folder part of a path ("." when it has none) and the rest.
std::string path_dir(const std::string& path);
std::string path_leaf(const std::string& path);

// SHA-256 of a file or of bytes, lower-case hex. Empty when the file cannot be read.
std::string sha256_file(const std::string& path);
std::string sha256_hex(const void* data, std::size_t n);

// Checks the files of a finished run, in `dir`, against its record.
// Problems, one line each naming the file; empty when all agree.
std::vector<std::string> run_record_verify(const RunRecord& r, const std::string& dir);

// ---- the run log -------------------------------------------------------------

constexpr const char* kRunLogHeader =
    "start,end,base,files,positions,events_saved,ended_by,comment";

// Appends the run's line to the log, writing the header first when the log
// is new. One write of the whole line, so runs ending together do not mix.
bool run_log_append(const RunRecord& r, const std::string& logPath, std::string* why);

// CSV fields, quoted when they hold a comma, a quote, a line end or edge blanks.
std::string csv_field(const std::string& s);
// Splits a CSV text into rows of fields (quoted fields may span lines).
std::vector<std::vector<std::string>> csv_parse(const std::string& text);

// "2026-12-10T01:33:52Z".
std::string utc_iso(std::int64_t t);

// ---- facts the session knows and the run records --------------------------

void run_record_note_bias_set(double volts, int dac);
void run_record_note_bias_read(std::optional<double> volts, std::optional<double> microamps);
std::optional<RunRecordBias> run_record_last_bias();
