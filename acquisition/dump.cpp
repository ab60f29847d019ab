#include "dump.h"

#include <ctime>

#include "runfile.h"

namespace {

std::string when(std::uint32_t t) {
  std::time_t tt = t;
  std::tm tm{};
  char buf[64];
  if (!gmtime_r(&tt, &tm) || !std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm))
    return "?";
  return buf;
}

struct PosTally {
  bool open = false;
  POSREC pos;
  std::uint64_t events = 0;
  std::uint32_t firstNev = 0, lastNev = 0;
};

void close_position(PosTally& p, std::FILE* out) {
  if (!p.open) return;
  std::fprintf(out, "  position ix=%d iy=%d xset=%d yset=%d: %llu events saved", p.pos.ix,
               p.pos.iy, p.pos.xset, p.pos.yset, static_cast<unsigned long long>(p.events));
  if (p.events) std::fprintf(out, " (nev %u..%u)", p.firstNev, p.lastNev);
  std::fprintf(out, "\n");
  p.open = false;
}

}  // namespace

int dump_run_files(const std::vector<std::string>& files, bool csv, std::FILE* out) {
  int rc = 0;
  PosTally pos;
  bool haveRun = false;
  if (csv) {
    std::fprintf(out, "file,ix,iy,xset,yset,nev");
    for (int i = 0; i < 32; ++i) std::fprintf(out, ",tdc%d", i);
    for (int i = 0; i < 32; ++i) std::fprintf(out, ",adc%d", i);
    std::fprintf(out, "\n");
  }
  // Summary lines go to stderr in CSV mode so the CSV stays clean.
  std::FILE* info = csv ? stderr : out;
  for (std::size_t fi = 0; fi < files.size(); ++fi) {
    const std::string& f = files[fi];
    RunFileScan s = scan_run_file(f);
    std::fprintf(info, "%s: %llu bytes, %zu records\n", f.c_str(),
                 static_cast<unsigned long long>(s.size), s.records.size());
    if (!s.records.empty() && fi == 0 && s.records.front().id != RUNREC_ID) {
      std::fprintf(info, "  warning: the first file does not begin with a run header\n");
      rc = 1;
    }
    for (const RunFileRecord& r : s.records) {
      switch (r.id) {
        case RUNREC_ID:
          haveRun = true;
          std::fprintf(info,
                       "  run header: started %s, format 0x%08X, nev=%u nch=%u ped=%u xy=%u\n"
                       "              x: nx=%d x0=%d dx=%d   y: ny=%d y0=%d dy=%d\n",
                       when(r.run.time).c_str(), r.run.fver, r.run.nev, r.run.nch, r.run.ped,
                       r.run.xy, r.run.nx, r.run.x0, r.run.dx, r.run.ny, r.run.y0, r.run.dy);
          break;
        case POSREC_ID:
          if (!csv) close_position(pos, info);
          pos = PosTally{true, r.pos, 0, 0, 0};
          break;
        case EVTREC_ID:
          if (pos.events == 0) pos.firstNev = r.evt.nev;
          pos.lastNev = r.evt.nev;
          ++pos.events;
          if (csv) {
            std::fprintf(out, "%s,%d,%d,%d,%d,%u", f.c_str(), pos.pos.ix, pos.pos.iy,
                         pos.pos.xset, pos.pos.yset, r.evt.nev);
            for (auto d : r.evt.data) std::fprintf(out, ",%u", d);
            std::fprintf(out, "\n");
          }
          break;
        case ENDREC_ID:
          if (!csv && fi + 1 == files.size()) close_position(pos, info);
          std::fprintf(info, "  end record: %s\n", when(r.end.time).c_str());
          break;
      }
    }
    if (!s.error.empty()) {
      std::fprintf(info, "  CORRUPT at byte offset %llu: %s\n",
                   static_cast<unsigned long long>(s.errorOffset), s.error.c_str());
      rc = 1;
    }
    if (s.complete) {
      std::fprintf(info, "  complete (ends with an end record)\n");
    } else {
      std::fprintf(info, "  INCOMPLETE: no end record -- the file was cut short\n");
      rc = 1;
    }
  }
  if (!csv) close_position(pos, info);
  if (!haveRun && !files.empty()) std::fprintf(info, "no run header found\n");
  return rc;
}
