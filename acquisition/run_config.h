// What a run is given (read once from the panel at its start) and what it
// gives back (progress while it goes, a report when it ends).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "decode.h"
#include "runfile.h"
#include "run_end.h"
#include "v1290.h"

struct RunConfig {
  RUNREC header;  // grid, events per position, xy, ped
  std::uint32_t stepMinutes = 0;
  bool save = false;
  std::string base;  // run file base name, when saving; {run} numbers the run
  bool overwrite = false;  // an existing series of that name is removed first
  std::int64_t fmaxBytes = 0;
  SaveRule rule;
  bool readBoard = true;     // one board frame per trigger; off = TDC-only run
  bool lateSkip = true;      // a trigger that waited two timer ticks or more is not read out
  int maxBoardFailures = 10; // board reads failing in a row before the run ends (0 = never)
  // The pairing checks (counts compared, frames behind the veto looked for);
  // off only to measure what they cost. Frames are taken per trigger either way.
  bool verifyPairing = true;
  // For the run record only.
  std::string comment;
  V1290Settings tdc;  // what the panel's TDC controls say
};

// Trigger pairing, witnessed by the TDC's own counts: for every trigger the
// TDC counted since its clear, exactly one board frame is taken.
struct PairingCounts {
  std::uint64_t checked = 0;           // read-outs whose TDC counts agree
  std::uint64_t framesDropped = 0;     // frames taken and not used
  std::uint64_t mismatches = 0;        // doubts: counts disagree, frames while vetoed
  std::uint64_t multiTrigger = 0;      // read-outs holding more than one trigger
  std::uint64_t lateSkipped = 0;       // late triggers, frames dropped
  std::uint64_t vetoedFrames = 0;      // frames that came while the veto was on
  PairingCounts& operator+=(const PairingCounts& o) {
    checked += o.checked;
    framesDropped += o.framesDropped;
    mismatches += o.mismatches;
    multiTrigger += o.multiTrigger;
    lateSkipped += o.lateSkipped;
    vetoedFrames += o.vetoedFrames;
    return *this;
  }
};

struct BoardFailureCounts {
  std::uint64_t total = 0, timeouts = 0, badFrames = 0, oversized = 0;
  int inRow = 0;
};


struct PositionReport {
  std::int32_t ix = 0, iy = 0, xset = 0, yset = 0;
  std::uint64_t readOut = 0, saved = 0;
  PairingCounts pairing;
};

struct RunReport {
  RunEnd end = RunEnd::GridDone;
  std::string reason;  // empty for a grid done or an operator stop
  unsigned positions = 0;
  std::uint64_t saved = 0;
  std::uint32_t lastNev = 0;  // EVTREC.nev as the run left it
  int runNumber = 0;          // what {run} became; 0 without it
  PairingCounts pairing;
  BoardFailureCounts board;
  std::vector<PositionReport> perPosition;
  std::vector<std::string> files;
};

// Where a run reports while it goes; called on the run's thread.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  virtual void position(const POSREC&) {}
  virtual void event(std::uint32_t /*nev*/) {}  // after every read-out
  // Every few milliseconds of a wait for a trigger: what `event` held back
  // can be shown now.
  virtual void waiting() {}
  virtual void status(const std::string& /*text*/) {}
  // A saving run's number (0: its name holds no {run}), before its first file.
  virtual void run_number(int /*number*/) {}
  // The counts so far, after every read-out and status change (keep it cheap).
  virtual void progress(const RunReport&) {}
  // The TDC word dump switches, asked for a few times a second.
  virtual void debug_switches(bool* term, bool* file) { *term = *file = false; }
  virtual void finished(const RunReport&) {}
};

// One run as handed to the worker.
struct RunJob {
  RunConfig config;
  RunObserver* observer = nullptr;
  RunReport report;  // filled when the run returns
};
