#include "run_map.h"

#include <mutex>

#include "platform.h"

namespace {
std::mutex g_srcMutex;
MapSource g_src;
}  // namespace

ScanMap& shown_scan_map() {
  static ScanMap map;
  return map;
}

MapSource shown_map_source() {
  std::lock_guard lk(g_srcMutex);
  return g_src;
}

void scan_map_run_start(const RUNREC& run) {
  if (!shown_scan_map().reset({run.nx, run.ny, run.x0, run.dx, run.y0, run.dy}) && run.nx > 0 &&
      run.ny > 0)
    con_printf("Scan map off for this run: %d x %d positions are more than the %d it keeps.\n",
               run.nx, run.ny, ScanMap::kMaxCells);
  std::lock_guard lk(g_srcMutex);
  g_src = MapSource{};
}

void scan_map_position(const POSREC& pos) {
  shown_scan_map().position(pos.ix, pos.iy, pos.xset, pos.yset);
}

void scan_map_event(const EventTable& ev, bool saved) { shown_scan_map().event(ev.aa, saved); }

int scan_map_from_run(const std::vector<std::string>& files, const ReplaySelection& sel,
                      ScanMap& map, ReplayResult* result) {
  bool haveGrid = false;
  // Every file of a series starts with the run header; the first one sets the grid.
  const int rc = replay_load(files, sel, result, [&](const RunFileRecord& rec) {
    if (rec.id == RUNREC_ID && !haveGrid) {
      haveGrid = true;
      map.reset({rec.run.nx, rec.run.ny, rec.run.x0, rec.run.dx, rec.run.y0, rec.run.dy});
    } else if (rec.id == POSREC_ID) {
      map.position(rec.pos.ix, rec.pos.iy, rec.pos.xset, rec.pos.yset);
    } else if (rec.id == EVTREC_ID) {
      map.stored_event(rec.evt.data);
    }
  });
  if (rc == 0 && !haveGrid) map.reset({});
  return rc;
}

int load_stored_run(const std::vector<std::string>& files, const ReplaySelection& sel,
                    ReplayResult* result) {
  const int rc = scan_map_from_run(files, sel, shown_scan_map(), result);
  if (rc == 0) {
    std::lock_guard lk(g_srcMutex);
    g_src.stored = true;
    g_src.files = files;
  }
  return rc;
}
