#include "run_state.h"

const char* run_end_name(RunEnd end) {
  switch (end) {
    case RunEnd::GridDone: return "grid done";
    case RunEnd::OperatorStop: return "operator stop";
    case RunEnd::NotStarted: return "not started";
    case RunEnd::Interlock: return "interlock";
    case RunEnd::Failed: return "failed";
  }
  return "?";
}

const char* run_phase_name(RunPhase phase) {
  switch (phase) {
    case RunPhase::Idle: return "idle";
    case RunPhase::Starting: return "starting";
    case RunPhase::Running: return "running";
    case RunPhase::Ending: return "ending";
    case RunPhase::Refused: return "refused";
    case RunPhase::Failed: return "failed";
  }
  return "?";
}

bool RunState::move(RunPhase from, RunPhase to) {
  return phase_.compare_exchange_strong(from, to);
}

bool RunState::request_start() {
  for (RunPhase from : {RunPhase::Idle, RunPhase::Refused, RunPhase::Failed}) {
    if (move(from, RunPhase::Starting)) {
      std::lock_guard lk(reasonMutex_);
      reason_.clear();
      activity_.store("starting");
      return true;
    }
  }
  return false;
}

void RunState::started() {
  if (move(RunPhase::Starting, RunPhase::Running)) activity_.store("taking events");
}

bool RunState::request_stop() {
  return move(RunPhase::Running, RunPhase::Ending) || move(RunPhase::Starting, RunPhase::Ending);
}

void RunState::finished(RunEnd end, const std::string& reason) {
  const RunPhase to = end == RunEnd::NotStarted                          ? RunPhase::Refused
                      : end == RunEnd::Interlock || end == RunEnd::Failed ? RunPhase::Failed
                                                                          : RunPhase::Idle;
  {
    std::lock_guard lk(reasonMutex_);
    reason_ = to == RunPhase::Idle ? std::string() : reason;
  }
  activity_.store("idle");
  phase_.store(to);
}

void RunState::reset() {
  {
    std::lock_guard lk(reasonMutex_);
    reason_.clear();
  }
  activity_.store("idle");
  phase_.store(RunPhase::Idle);
}

bool RunState::active() const {
  const RunPhase p = phase_.load();
  return p == RunPhase::Starting || p == RunPhase::Running || p == RunPhase::Ending;
}

bool RunState::keep_going() const {
  const RunPhase p = phase_.load();
  return p == RunPhase::Starting || p == RunPhase::Running;
}

std::string RunState::reason() const {
  std::lock_guard lk(reasonMutex_);
  return reason_;
}

RunState& run_state() {
  static RunState state;
  return state;
}
