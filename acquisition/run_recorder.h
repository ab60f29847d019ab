// Keeps a saving run's record: written when the run header is on disk and
// again when the last file is closed, with the run log line at the end.
#pragma once

#include <cstdint>
#include <string>

#include "decode.h"
#include "run_config.h"
#include "run_record.h"
#include "runfile.h"

class RunRecorder {
 public:
  // Takes the run's settings, the loaded board configuration and the last
  // bias figures, writes the record.
  void start(const RunConfig& config, const RunFileWriter& writer);
  void position(const POSREC& p);
  // The counters of the position being taken (a spare before the first).
  RunRecordPosition& count() { return rec_.positions.empty() ? spare_ : rec_.positions.back(); }
  // Names the interlock that ends the run (the first one counts). Returns true.
  bool interlock(const char* name);
  // After the last file is closed: sizes and checksums, how the run ended,
  // the final record and the run log line.
  void finish(std::uint32_t endTime, bool fileError, bool gridDone, const RunFileWriter& writer);
  // The trigger pairing of each position, in the order they were taken.
  void pairing(const std::vector<PositionReport>& positions);

  bool active() const { return active_; }
  const RunRecord& record() const { return rec_; }

 private:
  void save();
  RunRecord rec_;
  RunRecordPosition spare_;
  std::string dir_, path_, interlock_;
  bool active_ = false;
  bool warned_ = false;
};
