// The station's one run, as the panel and the run's worker both see it.
//
//   idle/refused/failed --request_start--> starting --started--> running
//   starting/running --request_stop--> ending
//   starting/running/ending --finished--> idle (grid done, operator stop)
//                                         refused (not started) / failed (interlock, fault)
//
// Every transition is checked here: a second start while one is active, or a
// worker reporting a phase out of turn, changes nothing and says so.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "run_end.h"

enum class RunPhase : int { Idle, Starting, Running, Ending, Refused, Failed };
const char* run_phase_name(RunPhase phase);

class RunState {
 public:
  // A new run may start unless one is active. False (nothing changes) otherwise.
  bool request_start();
  // The run's devices and file are up. Ignored unless starting (a stop asked
  // for during the start wins).
  void started();
  // Asks an active run to end; it ends at its next check. False when none is.
  bool request_stop();
  // The run has ended: idle, refused or failed with the reason.
  void finished(RunEnd end, const std::string& reason);
  // Back to idle whatever the phase (station start-up, tests).
  void reset();

  RunPhase phase() const { return phase_.load(); }
  // A worker owns the devices: starting, running or ending.
  bool active() const;
  // The run should go on: starting or running.
  bool keep_going() const;
  // Why the last run was refused or failed (empty otherwise).
  std::string reason() const;

  // What the run is doing now, for whoever waits for it to end (a literal).
  void set_activity(const char* what) { activity_.store(what); }
  const char* activity() const { return activity_.load(); }

 private:
  bool move(RunPhase from, RunPhase to);

  std::atomic<RunPhase> phase_{RunPhase::Idle};
  std::atomic<const char*> activity_{"idle"};
  mutable std::mutex reasonMutex_;
  std::string reason_;
};

RunState& run_state();
