// What the monitor shows of the station: a copy the session publishes a few
// times a second. The server reads only this copy, so a slow client never
// holds anything the run or the panel waits for.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "run_config.h"

struct StationSnapshot {
  std::uint64_t published = 0;  // publications so far
  bool running = false;
  std::string state = "idle";  // idle, running, or how the last run ended
  std::string reason;          // why it ended, when an interlock or failure ended it
  int ix = 0, iy = 0, nx = 0, ny = 0;
  unsigned positions = 0;       // positions begun
  std::uint32_t event = 0;      // event number at this position (the panel's counter)
  std::uint64_t readOuts = 0;   // events read out in this run
  std::uint64_t saved = 0;      // events written to the run file
  double rateHz = 0;            // read-outs per second over the last second or so
  std::string statusLine;       // the run's status line, interlocks included
  PairingCounts pairing;
  std::uint64_t boardFailures = 0;
  double biasSetV = NAN;        // NaN until a bias was set
  int biasDac = -1;
  double biasReadV = NAN;       // NaN until read back
  int boardLink = -1;           // 0 up, -1 not connected, -2 lost
  bool crateOpen = false;
  std::int64_t freeBytes = -1;  // where runs are written; -1 unknown
};

// The feed is off until a monitor starts: publishing then costs one load.
void snapshot_feed_enable(bool on);
bool snapshot_feed_enabled();

// Changes the published copy under its lock (keep `change` short).
template <class F>
void snapshot_update(F&& change);
StationSnapshot snapshot_read();
// Back to a fresh copy (a new station, a test).
void snapshot_reset();

namespace snapshot_detail {
void lock();
void unlock();
StationSnapshot& current();
}  // namespace snapshot_detail

template <class F>
void snapshot_update(F&& change) {
  struct Unlock {
    ~Unlock() { snapshot_detail::unlock(); }
  };
  snapshot_detail::lock();
  Unlock guard;
  StationSnapshot& s = snapshot_detail::current();
  change(s);
  ++s.published;
}
