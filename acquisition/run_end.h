// How a run ended.
#pragma once

enum class RunEnd {
  GridDone,      // every position taken
  OperatorStop,  // RUN switched off
  NotStarted,    // refused at start (reason says why)
  Interlock,     // ended by an interlock (reason says which)
  Failed,        // a device or the run file failed (reason says which)
};
const char* run_end_name(RunEnd end);
