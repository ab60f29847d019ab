#include "replay.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

#include "platform.h"
#include "runfile.h"
#include "live_histograms.h"
#include "run_state.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// More files than any run makes; bounds the sibling search.
constexpr int kMaxSeriesFiles = 100000;

// Splits "NAME_fileNN.dat" into NAME and NN; false for other names.
bool split_series_name(const std::string& path, std::string* base, int* n) {
  static const std::string kTag = "_file", kExt = ".dat";
  if (path.size() < kTag.size() + kExt.size() + 2 ||
      path.compare(path.size() - kExt.size(), kExt.size(), kExt) != 0)
    return false;
  std::size_t end = path.size() - kExt.size();
  std::size_t digits = end;
  while (digits > 0 && path[digits - 1] >= '0' && path[digits - 1] <= '9') --digits;
  if (end - digits < 2 || end - digits > 6 || digits < kTag.size() ||
      path.compare(digits - kTag.size(), kTag.size(), kTag) != 0)
    return false;
  *base = path.substr(0, digits - kTag.size());
  *n = std::stoi(path.substr(digits, end - digits));
  return *n >= 1;
}

bool exists(const std::string& p) { return access(p.c_str(), F_OK) == 0; }

// What a live run filled for this event, as far as the record can tell.
// A run fills dtdc[ch][0][v] with the kept TDC value v of each channel and
// dadc[ch][rg][a] with every ADC word a of gain range rg. The record keeps
// per channel only the kept TDC value (low 16 bits) and the last gain-0 ADC
// value, with 0 for "none". So replay cannot restore:
//  - the gain-1 ADC spectra (dadc[ch][1]): not stored, they stay empty;
//  - a second ADC word of the same channel and range in one event: only
//    the last was stored, so it counts once;
//  - a true TDC or ADC value of 0: indistinguishable from "none", not
//    filled;
//  - a TDC value of 65536 or more, which the run kept but did not
//    histogram: stored truncated, it lands in bin (value mod 65536);
//  - the second TDC event of a read-out that held two: only the last kept
//    value per channel was stored;
//  - events the save rule dropped: they were histogrammed, not stored.
// dtdc[ch][1] is never filled by a run either.
void fill_from_event(const EVTREC& e, ReplayResult& r) {
  for (int ch = 0; ch < kChannels; ++ch) {
    const std::uint16_t t = e.data[static_cast<std::size_t>(ch)];
    if (t != 0) spectrum_add(dtdc[ch][0][t]);
    const std::uint16_t a = e.data[static_cast<std::size_t>(32 + ch)];
    if (a >= kAdcBins) ++r.adcOutOfRange;
    else if (a != 0) spectrum_add(dadc[ch][0][a]);
  }
}

}  // namespace

std::vector<std::string> replay_series_files(const std::string& path) {
  std::vector<std::string> files;
  if (!exists(path)) return files;
  std::string base;
  int n = 0;
  if (!split_series_name(path, &base, &n)) {
    files.push_back(path);
    return files;
  }
  // From the first file present at or before the one named (a lost first
  // file leaves the rest loadable), forward while they exist.
  int first = n;
  while (first > 1) {
    std::string prev = run_file_name(base, first - 1);
    if (prev.empty() || !exists(prev)) break;
    --first;
  }
  for (int k = first; k < first + kMaxSeriesFiles; ++k) {
    std::string name = run_file_name(base, k);
    if (name.empty() || !exists(name)) break;
    files.push_back(name);
  }
  // The name as given (e.g. "_file1.dat") may not be what the writer makes.
  if (files.empty()) files.push_back(path);
  return files;
}

namespace {

// Where a stored series is in its positions while its files are read.
struct ReplayCursor {
  bool havePos = false;
  bool selected = false;
};

// One file's records into the spectra; a damaged or cut-short file is said
// and counted, its records before the fault loaded.
void load_one_file(std::FILE* fp, const std::string& f, const ReplaySelection& sel,
                   ReplayCursor& at, ReplayResult& r,
                   const std::function<void(const RunFileRecord&)>& every) {
  const RunFileRead o = read_run_records(fp, [&](const RunFileRecord& rec) {
    if (every) every(rec);
    if (rec.id == POSREC_ID) {
      at.havePos = true;
      ++r.positionsSeen;
      at.selected = sel.all || (rec.pos.ix == sel.ix && rec.pos.iy == sel.iy);
      if (at.selected) ++r.positionsLoaded;
    } else if (rec.id == EVTREC_ID) {
      ++r.eventsSeen;
      if (!at.havePos) ++r.eventsWithoutPosition;
      if (!at.selected) return;
      ++r.eventsLoaded;
      fill_from_event(rec.evt, r);
    }
  });
  if (!o.error.empty()) {
    ++(o.truncated ? r.filesIncomplete : r.filesCorrupt);
    con_printf("%s: unreadable from byte offset %llu (%s); the records before it are loaded.\n",
               f.c_str(), static_cast<unsigned long long>(o.errorOffset), o.error.c_str());
  } else if (!o.complete) {
    ++r.filesIncomplete;
    con_printf("%s: no end record -- the file was cut short after %llu bytes; its complete "
               "records are loaded.\n",
               f.c_str(), static_cast<unsigned long long>(o.bytes));
  }
}

// The warnings, the console's closing line and the panel's summary.
void report_load(const std::vector<std::string>& files, const ReplaySelection& sel,
                 ReplayResult& r) {
  if (r.eventsWithoutPosition)
    con_printf("%llu event(s) come before any position record (is the series' first file "
               "missing?)%s.\n",
               static_cast<unsigned long long>(r.eventsWithoutPosition),
               sel.all ? "" : "; they belong to no position and are not loaded");
  if (r.adcOutOfRange)
    con_printf("%llu stored ADC value(s) above 4095 not filled (damaged records?).\n",
               static_cast<unsigned long long>(r.adcOutOfRange));
  if (!sel.all && r.positionsLoaded == 0)
    con_printf("Position ix=%d iy=%d is not in the series (%d position(s) in it): the spectra are "
               "empty.\n",
               sel.ix, sel.iy, r.positionsSeen);

  char what[64];
  if (sel.all) std::snprintf(what, sizeof what, "all positions");
  else std::snprintf(what, sizeof what, "position ix=%d iy=%d", sel.ix, sel.iy);
  std::string notes;
  if (r.filesIncomplete) notes += ", " + std::to_string(r.filesIncomplete) + " file(s) cut short";
  if (r.filesCorrupt) notes += ", " + std::to_string(r.filesCorrupt) + " file(s) damaged";
  con_printf("Stored run %s loaded into the spectra (%s): %zu file(s), %d of %d position(s), "
             "%llu of %llu event(s)%s. ADC gain 1 and TDC range 1 are not in the file and stay "
             "empty.\n",
             files.front().c_str(), what, r.files.size(), r.positionsLoaded, r.positionsSeen,
             static_cast<unsigned long long>(r.eventsLoaded),
             static_cast<unsigned long long>(r.eventsSeen), notes.c_str());
  const std::size_t slash = files.front().find_last_of('/');
  std::string line = slash == std::string::npos ? files.front() : files.front().substr(slash + 1);
  if (r.files.size() > 1) line += " +" + std::to_string(r.files.size() - 1) + " file(s)";
  line += std::string(": ") + what + ", " + std::to_string(r.eventsLoaded) + " event(s)" + notes;
  r.summary = line;
}

}  // namespace

int replay_load(const std::vector<std::string>& files, const ReplaySelection& sel,
                ReplayResult* result, const std::function<void(const RunFileRecord&)>& every) {
  ReplayResult local;
  ReplayResult& r = result ? *result : local;
  r = ReplayResult{};
  if (run_state().active()) {
    con_printf("A run is active: a stored run can be loaded once it has ended. Spectra unchanged.\n");
    return -1;
  }
  if (files.empty()) {
    con_printf("Stored run not loaded: no file named. Spectra unchanged.\n");
    return -1;
  }
  File first(std::fopen(files.front().c_str(), "rb"));
  if (!first) {
    con_printf("Stored run not loaded: cannot open %s: %s. Spectra unchanged.\n",
               files.front().c_str(), std::strerror(errno));
    return -1;
  }

  spectra_clear();
  ReplayCursor at;
  at.selected = sel.all;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string& f = files[i];
    File fp = i == 0 ? std::move(first) : File(std::fopen(f.c_str(), "rb"));
    if (!fp) {
      con_printf("%s: cannot open (%s); skipped.\n", f.c_str(), std::strerror(errno));
      ++r.filesCorrupt;
      continue;
    }
    r.files.push_back(f);
    load_one_file(fp.get(), f, sel, at, r, every);
  }
  report_load(files, sel, r);
  return 0;
}

int replay_export_csv(const std::string& path, int ch, int tdcRange, int adcRange) {
  if (ch < 0 || ch >= kChannels || tdcRange < 0 || tdcRange > 1 || adcRange < 0 || adcRange > 1) {
    con_printf("Spectra not exported: channel %d / TDC range %d / ADC gain %d is not shown on the "
               "panel.\n",
               ch, tdcRange, adcRange);
    return -1;
  }
  // Snapshots: a run may be filling the spectra right now.
  static std::int32_t tdc[kTdcBins], adc[kAdcBins];
  spectrum_snapshot(dtdc[ch][tdcRange], tdc);
  spectrum_snapshot(dadc[ch][adcRange], adc);

  // Written beside the target and renamed: a failed export leaves no
  // half-written file that could be taken for a whole one.
  const std::string tmp = path + ".part";
  std::FILE* fp = std::fopen(tmp.c_str(), "w");
  if (!fp) {
    con_printf("Spectra not exported: cannot create %s: %s\n", tmp.c_str(), std::strerror(errno));
    return -1;
  }
  bool ok = std::fprintf(fp, "spectrum,channel,range,bin,count\n") > 0;
  for (int b = 0; ok && b < kTdcBins; ++b) ok = std::fprintf(fp, "tdc,%d,%d,%d,%d\n", ch, tdcRange, b, tdc[b]) > 0;
  for (int b = 0; ok && b < kAdcBins; ++b) ok = std::fprintf(fp, "adc,%d,%d,%d,%d\n", ch, adcRange, b, adc[b]) > 0;
  const int err = errno;
  if (std::fclose(fp) != 0) ok = false;
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    con_printf("Spectra not exported: writing %s failed: %s\n", path.c_str(),
               std::strerror(ok ? errno : err));
    std::remove(tmp.c_str());
    return -1;
  }
  con_printf("Spectra of channel %d (TDC range %d, ADC gain %d) exported to %s\n", ch, tdcRange,
             adcRange, path.c_str());
  return 0;
}
