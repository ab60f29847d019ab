#include "run_recorder.h"

#include <unistd.h>

#include <climits>

#include "easiroc.h"
#include "mdq_ui.h"
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

void RunRecorder::start(const RUNREC& header, std::uint32_t stepMinutes,
                        std::int64_t fileLimitBytes, const SaveRule& rule, const std::string& base,
                        const RunFileWriter& writer) {
  rec_ = RunRecord{};
  spare_ = RunRecordPosition{};
  interlock_.clear();
  warned_ = false;
  active_ = true;
  path_ = run_record_path(base);
  dir_ = path_dir(base);

  rec_.base = path_leaf(base);
  GetCtrlVal(p1h, P1_COMMENT, &rec_.comment);
  rec_.version = mdq_station_version();
  rec_.host = host_name();
  rec_.startTime = header.time;
  rec_.header = header;
  rec_.stepMinutes = stepMinutes;
  rec_.fileLimitBytes = fileLimitBytes;
  rec_.suppress = rule.supr0 != 0;
  rec_.tdcMin = rule.tdcmin;
  rec_.frac = rule.frac;
  GetCtrlVal(p1h, P1_TDC_WINDOW_WIDTH, &rec_.tdcWindowWidth);
  GetCtrlVal(p1h, P1_TDC_WINDOW_OFFSET, &rec_.tdcWindowOffset);
  GetCtrlVal(p1h, P1_TDC_EXTRA_MARGIN, &rec_.tdcExtraMargin);
  GetCtrlVal(p1h, P1_TDC_EDGE, &rec_.tdcEdge);
  const V1290Readback rb = V1290_last_readback();
  rec_.tdcReadbackTime = rb.time;
  rec_.tdcReadback = rb.values;

  std::string iniPath, iniText;
  easiroc_ini_source(&iniPath, &iniText);
  if (!iniPath.empty()) {
    RunRecordBoardConfig b;
    b.path = iniPath;
    b.values.assign(iniData, iniData + EASIROC_INI_VALUES);
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
