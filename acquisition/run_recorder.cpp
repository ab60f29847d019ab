#include "run_recorder.h"

#include <unistd.h>

#include <climits>

#include "easiroc.h"
#include "platform.h"
#include "station_version.h"
#include "v1290.h"

namespace {
std::string host_name() {
  char h[HOST_NAME_MAX + 1] = {};
  if (gethostname(h, sizeof h - 1) != 0) return "?";
  return h;
}
}  // namespace

void RunRecorder::save() {
  std::string why;
  if (run_record_write(rec_, path_, &why) || warned_) return;
  // Once: the data files do not depend on it, and a full disk would repeat it.
  con_printf("Run record %s not written: %s (the run files are not affected).\n", path_.c_str(),
             why.c_str());
  warned_ = true;
}

void RunRecorder::start(const RunConfig& config, const RunFileWriter& writer) {
  const RUNREC& header = config.header;
  const SaveRule& rule = config.rule;
  const std::string& base = config.base;
  rec_ = RunRecord{};
  spare_ = RunRecordPosition{};
  interlock_.clear();
  warned_ = false;
  active_ = true;
  path_ = run_record_path(base);
  dir_ = path_dir(base);

  rec_.base = path_leaf(base);
  rec_.comment = config.comment;
  rec_.version = mdq_station_version();
  rec_.host = host_name();
  rec_.startTime = header.time;
  rec_.header = header;
  rec_.stepMinutes = config.stepMinutes;
  rec_.fileLimitBytes = config.fmaxBytes;
  rec_.readBoard = config.readBoard;
  rec_.lateSkip = config.lateSkip;
  rec_.suppress = rule.supr0 != 0;
  rec_.tdcMin = rule.tdcmin;
  rec_.frac = rule.frac;
  rec_.tdcWindowWidth = config.tdc.windowWidth;
  rec_.tdcWindowOffset = config.tdc.windowOffset;
  rec_.tdcExtraMargin = config.tdc.extraMargin;
  rec_.tdcEdge = config.tdc.edge;
  const V1290Readback rb = V1290_last_readback();
  rec_.tdcReadbackTime = rb.time;
  rec_.tdcReadback = rb.values;

  std::string iniPath, iniText;
  easiroc_ini_source(&iniPath, &iniText);
  if (!iniPath.empty()) {
    RunRecordBoardConfig b;
    b.path = iniPath;
    b.values.assign(easiroc::board().config.iniData, easiroc::board().config.iniData + EASIROC_INI_VALUES);
    b.sha256 = sha256_hex(iniText.data(), iniText.size());
    rec_.board = std::move(b);
  }
  rec_.bias = run_record_last_bias();
  for (const std::string& f : writer.files()) rec_.files.push_back({path_leaf(f), 0, {}});
  save();
}

void RunRecorder::position(const POSREC& p) {
  if (!active_) return;
  RunRecordPosition r;
  r.ix = p.ix, r.iy = p.iy, r.xset = p.xset, r.yset = p.yset, r.time = p.time;
  rec_.positions.push_back(r);
}

bool RunRecorder::interlock(const char* name) {
  if (interlock_.empty()) interlock_ = name;
  return true;
}

void RunRecorder::finish(std::uint32_t endTime, bool fileError, bool gridDone,
                         const RunFileWriter& writer) {
  if (!active_) return;
  active_ = false;
  rec_.ended = true;
  rec_.endTime = endTime;
  rec_.endedBy = fileError              ? "run file error"
                 : !interlock_.empty()  ? "interlock: " + interlock_
                 : gridDone             ? "grid done"
                                        : "operator stop";
  rec_.files.clear();
  for (const std::string& f : writer.files()) rec_.files.push_back({path_leaf(f), 0, {}});
  std::string why;
  if (!run_record_hash_files(rec_, dir_, &why))
    con_printf("Run record: %s -- the record lists the file without its checksum.\n", why.c_str());
  save();
  if (!run_log_append(rec_, dir_ + "/runs.csv", &why)) con_printf("Run log: %s\n", why.c_str());
}

void RunRecorder::pairing(const std::vector<PositionReport>& positions) {
  const std::size_t n = std::min(positions.size(), rec_.positions.size());
  for (std::size_t i = 0; i < n; ++i) {
    const PairingCounts& p = positions[i].pairing;
    RunRecordPosition& r = rec_.positions[i];
    r.checked = p.checked;
    r.framesDropped = p.framesDropped;
    r.multiTrigger = p.multiTrigger;
    r.mispaired = p.mismatches;
  }
}
