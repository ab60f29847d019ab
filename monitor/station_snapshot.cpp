#include "station_snapshot.h"

#include <atomic>
#include <mutex>

namespace {
std::atomic<bool> g_on{false};
std::mutex g_m;
StationSnapshot g_snap;
}  // namespace

void snapshot_feed_enable(bool on) { g_on.store(on, std::memory_order_relaxed); }
bool snapshot_feed_enabled() { return g_on.load(std::memory_order_relaxed); }

StationSnapshot snapshot_read() {
  std::lock_guard lk(g_m);
  return g_snap;
}

void snapshot_reset() {
  std::lock_guard lk(g_m);
  g_snap = StationSnapshot{};
}

namespace snapshot_detail {
void lock() { g_m.lock(); }
void unlock() { g_m.unlock(); }
StationSnapshot& current() { return g_snap; }
}  // namespace snapshot_detail
