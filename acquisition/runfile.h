// Run data file: fixed-size little-endian records written back to back
// (run header, position, event, end), in a numbered file series.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

enum : std::uint32_t {
  RUNREC_ID = 1,
  ENDREC_ID = 2,
  POSREC_ID = 3,
  EVTREC_ID = 4,
};

struct RUNREC {
  std::uint32_t id = RUNREC_ID;
  std::uint32_t len = 56;
  std::uint32_t fver = 0x00010000;
  std::uint32_t time = 0;
  std::uint32_t nev = 0;
  std::uint32_t nch = 32;
  std::uint32_t ped = 0;
  std::uint32_t xy = 0;
  std::int32_t nx = 0, x0 = 0, dx = 0;
  std::int32_t ny = 0, y0 = 0, dy = 0;
};

struct POSREC {
  std::uint32_t id = POSREC_ID;
  std::uint32_t len = 36;
  std::uint32_t time = 0;
  std::int32_t ix = 0, x = 0, xset = 0;
  std::int32_t iy = 0, y = 0, yset = 0;
};

struct EVTREC {
  std::uint32_t id = EVTREC_ID;
  std::uint32_t len = 140;
  std::uint32_t nev = 0;
  std::array<std::uint16_t, 64> data{};
};

struct ENDREC {
  std::uint32_t id = ENDREC_ID;
  std::uint32_t len = 12;
  std::uint32_t time = 0;
};

// The in-memory structs happen to have no padding; the file format does not
// rely on it (records are written field by field), but a change that adds
// padding should be a conscious one.
static_assert(sizeof(RUNREC) == 56);
static_assert(sizeof(POSREC) == 36);
static_assert(sizeof(EVTREC) == 140);
static_assert(sizeof(ENDREC) == 12);

constexpr std::size_t kRunRecSize = 56, kPosRecSize = 36, kEvtRecSize = 140, kEndRecSize = 12;

// Serialisation, little-endian, field by field.
std::array<std::uint8_t, kRunRecSize> encode(const RUNREC& r);
std::array<std::uint8_t, kPosRecSize> encode(const POSREC& r);
std::array<std::uint8_t, kEvtRecSize> encode(const EVTREC& r);
std::array<std::uint8_t, kEndRecSize> encode(const ENDREC& r);
RUNREC decode_runrec(std::span<const std::uint8_t, kRunRecSize> b);
POSREC decode_posrec(std::span<const std::uint8_t, kPosRecSize> b);
EVTREC decode_evtrec(std::span<const std::uint8_t, kEvtRecSize> b);
ENDREC decode_endrec(std::span<const std::uint8_t, kEndRecSize> b);

// Record size for a record id, 0 for an unknown id.
std::size_t record_size(std::uint32_t id);

// Longest file name the series may use.
constexpr std::size_t kMaxRunFileName = 259;

// "%s_file%02d.dat". Empty when the result would exceed kMaxRunFileName.
std::string run_file_name(const std::string& base, int fcount);

// Writer of one run's file series. Every failure prints a console line and
// leaves the writer failed: later writes do nothing and return false, so
// the run can stop instead of reporting data it did not keep.
class RunFileWriter {
 public:
  RunFileWriter() = default;
  ~RunFileWriter();
  RunFileWriter(const RunFileWriter&) = delete;
  RunFileWriter& operator=(const RunFileWriter&) = delete;

  // Creates base_file01.dat. No file of the series is ever written over:
  // an existing one (also at roll-over) fails the writer with a console
  // line. fmaxBytes 0 = never roll over.
  bool open(const std::string& base, std::int64_t fmaxBytes);
  bool write(const RUNREC& r);
  bool write(const POSREC& r);
  bool write(const EVTREC& r);
  // Writes the end record (time = now) and closes the current file.
  bool close(std::uint32_t endTime);
  // Roll-over test: when fmax is not 0 and the current position is past it
  // (strictly), ends this file and opens the next. Prints "\tOpened file %s\n".
  bool rollover_if_needed(std::uint32_t endTime);

  // Hands buffered records to the kernel: a crash of the station then loses
  // nothing already written. Done at every position record and, between
  // them, once kFlushPeriodMs has passed since the last time.
  bool flush();
  // flush() when records are pending and the period has passed; cheap
  // enough to call from a polling loop.
  bool flush_if_due();
  static constexpr long kFlushPeriodMs = 2000;

  bool is_open() const { return fp_ != nullptr; }
  bool failed() const { return failed_; }
  std::int64_t position() const { return pos_; }
  int fcount() const { return fcount_; }
  const std::string& current_name() const { return name_; }
  std::int64_t fmax() const { return fmax_; }
  // Names of every file this writer created, in order.
  const std::vector<std::string>& files() const { return files_; }

 private:
  bool put(const std::uint8_t* data, std::size_t n);
  bool openNumbered(int n);
  bool fail(const char* what);
  std::FILE* fp_ = nullptr;
  // stdio's own buffer is one disk block: at full trigger rate a write call
  // every 30 events. 64 KB is 16 times fewer calls, and a failing disk is
  // still seen within about 470 events (a few tens of ms at full rate).
  static constexpr std::size_t kBufferBytes = 64 * 1024;
  std::unique_ptr<char[]> buffer_;
  std::string base_, name_;
  int fcount_ = 0;
  std::int64_t fmax_ = 0;
  std::int64_t pos_ = 0;
  bool failed_ = false;
  bool pending_ = false;
  long long lastFlushMs_ = 0;
  std::vector<std::string> files_;
};

// Reading a file or series back.
struct RunFileRecord {
  std::uint32_t id = 0;
  std::uint64_t offset = 0;  // byte offset in its file
  RUNREC run;
  POSREC pos;
  EVTREC evt;
  ENDREC end;
};

struct RunFileScan {
  std::string file;
  std::vector<RunFileRecord> records;
  bool complete = false;        // last record is an ENDREC, nothing after it
  std::string error;            // empty when the whole file parsed
  std::uint64_t errorOffset = 0;
  std::uint64_t size = 0;
};

// Parses a whole file. Never throws; a truncated or corrupt file yields the
// records up to the fault and an error naming the byte offset.
RunFileScan scan_run_file(const std::string& path);

// Reads an open file record by record, keeping nothing (a run file may be
// gigabytes): each whole record goes to `on`. Stops at the first fault.
struct RunFileRead {
  bool complete = false;         // ends with its end record, nothing after it
  bool truncated = false;        // the fault is a record cut off by the end of the file
  std::string error;             // empty when the whole file parsed
  std::uint64_t errorOffset = 0;
  std::uint64_t bytes = 0;       // bytes of whole records
};
RunFileRead read_run_records(std::FILE* fp, const std::function<void(const RunFileRecord&)>& on);

// Bytes free to an unprivileged writer on the file system that holds
// `file` (its directory); -1 when that cannot be found out.
std::int64_t free_bytes_for(const std::string& file);

// Writes a repaired copy of a run file to `out`: every complete record up to
// the first fault, then an end record when the copy does not already end
// with one (time: the original's last modification). The original is only
// read. Returns false with a reason when nothing usable could be written.
struct RepairResult {
  std::size_t recordsKept = 0;
  std::uint64_t bytesDropped = 0;
  bool endAdded = false;
  std::string error;
};
RepairResult repair_run_file(const std::string& in, const std::string& out);

// Reads only the run header, as the panel's viewer does. nullopt (with a
// reason) when the file cannot be opened, is shorter than a run header or
// does not begin with one.
std::optional<RUNREC> read_run_header(const std::string& path, std::string* why);
