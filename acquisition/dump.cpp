#include "dump.h"

#include <algorithm>
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

// Builds the per-position summary record by record.
class SummaryBuilder {
 public:
  void add(const std::string& file, const RunFileRecord& r) {
    switch (r.id) {
      case RUNREC_ID:
        if (!haveRun_) run_ = r.run;
        haveRun_ = true;
        break;
      case POSREC_ID: {
        PositionSummary p;
        p.file = file;
        p.hasPos = true;
        p.ix = r.pos.ix, p.iy = r.pos.iy, p.xset = r.pos.xset, p.yset = r.pos.yset;
        rows_.push_back(p);
        break;
      }
      case EVTREC_ID: {
        if (rows_.empty()) rows_.push_back(PositionSummary{});  // before any position record
        PositionSummary& p = rows_.back();
        if (p.saved == 0) p.firstNev = r.evt.nev;
        p.lastNev = std::max(p.lastNev, r.evt.nev);
        ++p.saved;
        break;
      }
      default:
        break;
    }
  }
  // lastFileComplete: the series' last file ends with its end record.
  std::vector<PositionSummary> finish(bool lastFileComplete) {
    const std::uint32_t perPos = haveRun_ ? std::max<std::uint32_t>(run_.nev, 1) : 0;
    bool gridDone = false;
    if (haveRun_ && lastFileComplete && !rows_.empty() && rows_.back().hasPos) {
      const std::int64_t grid = run_.nx > 0 && run_.ny > 0
                                    ? static_cast<std::int64_t>(run_.nx) * run_.ny
                                    : 0;
      std::int64_t positions = 0;
      for (const auto& p : rows_) positions += p.hasPos;
      gridDone = positions == grid && rows_.back().ix == run_.nx - 1 &&
                 rows_.back().iy == run_.ny - 1;
    }
    for (std::size_t i = 0; i < rows_.size(); ++i) {
      PositionSummary& p = rows_[i];
      const bool unfinished = !p.hasPos || (i + 1 == rows_.size() && !gridDone);
      p.rangeEnd = unfinished || !haveRun_ ? p.lastNev : std::max(perPos, p.lastNev);
      p.skipped = p.rangeEnd > p.saved ? p.rangeEnd - p.saved : 0;
    }
    return std::move(rows_);
  }

 private:
  bool haveRun_ = false;
  RUNREC run_;
  std::vector<PositionSummary> rows_;
};

}  // namespace

std::vector<PositionSummary> summarize_positions(const std::vector<std::string>& files) {
  SummaryBuilder b;
  bool lastComplete = false;
  for (const std::string& f : files) {
    RunFileScan s = scan_run_file(f);
    for (const RunFileRecord& r : s.records) b.add(f, r);
    lastComplete = s.complete && s.error.empty();
  }
  return b.finish(lastComplete);
}

void dump_position_summary(const std::vector<PositionSummary>& rows, std::FILE* out) {
  std::fprintf(out, "position,file,ix,iy,xset,yset,saved,skipped,first_nev,last_nev\n");
  int k = 0;
  for (const PositionSummary& p : rows) {
    if (p.hasPos)
      std::fprintf(out, "%d,%s,%d,%d,%d,%d", k++, p.file.c_str(), p.ix, p.iy, p.xset, p.yset);
    else
      std::fprintf(out, "none,,,,,");
    std::fprintf(out, ",%llu,%llu,%u,%u\n", static_cast<unsigned long long>(p.saved),
                 static_cast<unsigned long long>(p.skipped), p.firstNev, p.lastNev);
  }
}

int dump_run_files(const std::vector<std::string>& files, bool csv, std::FILE* out,
                   std::FILE* summaryOut) {
  int rc = 0;
  PosTally pos;
  SummaryBuilder summary;
  bool lastComplete = false;
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
    lastComplete = s.complete && s.error.empty();
    std::fprintf(info, "%s: %llu bytes, %zu records\n", f.c_str(),
                 static_cast<unsigned long long>(s.size), s.records.size());
    if (!s.records.empty() && fi == 0 && s.records.front().id != RUNREC_ID) {
      std::fprintf(info, "  warning: the first file does not begin with a run header\n");
      rc = 1;
    }
    for (const RunFileRecord& r : s.records) {
      if (csv) summary.add(f, r);
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
  if (csv) {
    std::FILE* so = summaryOut ? summaryOut : out;
    if (!summaryOut) std::fprintf(out, "\n");
    dump_position_summary(summary.finish(lastComplete), so);
  }
  if (!haveRun && !files.empty()) std::fprintf(info, "no run header found\n");
  return rc;
}
