#include "monitor_feed.h"

#include <chrono>

#include "bias.h"
#include "coarse_clock.h"
#include "easiroc.h"
#include "mdq_ui.h"
#include "platform.h"
#include "runfile.h"
#include "station_snapshot.h"
#include "wienvme_dll.h"

namespace {
// Asked per event while a run goes on: the coarse clock is a few nanoseconds.
using Clock = CoarseClock;

// Run-thread side: read-outs since the run started, and the last
// publication and rate sample.
std::uint64_t g_readOuts = 0;
std::uint32_t g_nev = 0;
Clock::time_point g_lastPublish;
Clock::time_point g_rateAt;
std::uint64_t g_rateFrom = 0;
double g_rate = 0;

// Event-loop side: where the disk is measured.
Clock::time_point g_lastDisk;
std::string g_runBase;

void publish_progress(std::uint32_t nev, const RunReport& r, Clock::time_point now) {
  const double dt = std::chrono::duration<double>(now - g_rateAt).count();
  if (dt >= 1.0) {
    g_rate = static_cast<double>(g_readOuts - g_rateFrom) / dt;
    g_rateFrom = g_readOuts;
    g_rateAt = now;
  }
  snapshot_update([&](StationSnapshot& s) {
    s.event = nev;
    s.readOuts = g_readOuts;
    s.saved = r.saved;
    s.positions = r.positions;
    s.pairing = r.pairing;
    s.boardFailures = r.board.total;
    s.rateHz = g_rate;
  });
  g_lastPublish = now;
}
}  // namespace

void monitor_feed_run_started(const RunConfig& c) {
  if (!snapshot_feed_enabled()) return;
  // The worker has not reported yet: it reads these only after its first event.
  g_readOuts = 0;
  g_nev = 0;
  g_rateFrom = 0;
  g_rate = 0;
  g_rateAt = g_lastPublish = Clock::now();
  g_runBase = c.save ? c.base : std::string();
  snapshot_update([&](StationSnapshot& s) {
    s.running = true;
    s.state = "running";
    s.reason.clear();
    s.nx = c.header.nx;
    s.ny = c.header.ny;
    s.ix = s.iy = 0;
    s.positions = 0;
    s.event = 0;
    s.readOuts = s.saved = 0;
    s.rateHz = 0;
    s.pairing = {};
    s.boardFailures = 0;
    s.statusLine.clear();
  });
}

void monitor_feed_position(const POSREC& p) {
  if (!snapshot_feed_enabled()) return;
  snapshot_update([&](StationSnapshot& s) {
    s.ix = p.ix;
    s.iy = p.iy;
  });
}

void monitor_feed_status(const std::string& text) {
  if (!snapshot_feed_enabled()) return;
  snapshot_update([&](StationSnapshot& s) { s.statusLine = text; });
}

void monitor_feed_event(std::uint32_t nev) {
  if (!snapshot_feed_enabled()) return;
  ++g_readOuts;
  g_nev = nev;
}

void monitor_feed_progress(const RunReport& r) {
  if (!snapshot_feed_enabled()) return;
  const auto now = Clock::now();
  if (now - g_lastPublish < std::chrono::milliseconds(100)) return;
  publish_progress(g_nev, r, now);
}

void monitor_feed_finished(const RunReport& r) {
  if (!snapshot_feed_enabled()) return;
  publish_progress(r.lastNev, r, Clock::now());
  snapshot_update([&](StationSnapshot& s) {
    s.running = false;
    s.state = run_end_name(r.end);
    s.reason = r.reason;
    s.rateHz = 0;
  });
}

void monitor_feed_tick() {
  if (!snapshot_feed_enabled()) return;
  const auto now = Clock::now();
  std::int64_t free = -2;  // -2: not measured this time
  if (now - g_lastDisk >= std::chrono::seconds(1)) {
    g_lastDisk = now;
    free = free_bytes_for(g_runBase.empty() ? std::string("./run") : g_runBase);
  }
  const double hv = bias_last_hv();
  const int dac = bias_last_hvdac();
  const double rd = bias_last_readback();
  const int link = easiroc_link_state();
  const bool crate = DLLHandle != nullptr && hHandle24 != 0;
  snapshot_update([&](StationSnapshot& s) {
    // The bias module keeps 0 until something was set or read.
    if (dac != 0 || hv != 0) {
      s.biasSetV = hv;
      s.biasDac = dac;
    }
    if (rd != 0) s.biasReadV = rd;
    s.boardLink = link;
    s.crateOpen = crate;
    if (free != -2) s.freeBytes = free;
  });
}
