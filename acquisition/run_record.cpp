#include "run_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

using json = nlohmann::ordered_json;

namespace {

std::string errno_text() { return std::strerror(errno); }

template <class T>
std::uint64_t sum(const std::vector<RunRecordPosition>& v, T RunRecordPosition::*field) {
  std::uint64_t s = 0;
  for (const auto& p : v) s += p.*field;
  return s;
}

json time_json(std::int64_t t) { return json{{"unix", t}, {"utc", utc_iso(t)}}; }

}  // namespace

std::uint64_t RunRecord::saved() const { return sum(positions, &RunRecordPosition::saved); }
std::uint64_t RunRecord::skipped() const { return sum(positions, &RunRecordPosition::skipped); }
std::uint64_t RunRecord::dropped() const { return sum(positions, &RunRecordPosition::dropped); }
std::uint64_t RunRecord::mispaired() const { return sum(positions, &RunRecordPosition::mispaired); }
std::uint64_t RunRecord::framesDropped() const {
  return sum(positions, &RunRecordPosition::framesDropped);
}

std::string utc_iso(std::int64_t t) {
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  char buf[32];
  if (!gmtime_r(&tt, &tm) || !std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm)) return "?";
  return buf;
}

std::string path_dir(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string path_leaf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string run_record_path(const std::string& base) { return base + "_run.json"; }

std::string run_record_path_for(const std::string& file) {
  static const std::string kRec = "_run.json";
  if (file.size() > kRec.size() && file.compare(file.size() - kRec.size(), kRec.size(), kRec) == 0)
    return file;
  // base_fileNN.dat, NN two or more digits
  const auto at = file.rfind("_file");
  if (at == std::string::npos || file.size() < 4 || file.compare(file.size() - 4, 4, ".dat") != 0)
    return {};
  const std::string digits = file.substr(at + 5, file.size() - 4 - at - 5);
  if (digits.size() < 2 || digits.find_first_not_of("0123456789") != std::string::npos) return {};
  return run_record_path(file.substr(0, at));
}

std::string run_log_path(const std::string& base) { return path_dir(base) + "/runs.csv"; }

// ---- JSON --------------------------------------------------------------------

std::string run_record_json(const RunRecord& r) {
  json j;
  j["format"] = "mdq run record 1";
  j["base"] = r.base;
  j["comment"] = r.comment;
  j["station"] = {{"version", r.version}, {"host", r.host}};
  j["start"] = time_json(r.startTime);
  j["ended"] = r.ended;
  if (r.ended) {
    j["end"] = time_json(r.endTime);
    j["end"]["ended_by"] = r.endedBy;
  }
  const RUNREC& h = r.header;
  j["settings"] = {
      {"nx", h.nx}, {"x0", h.x0}, {"dx", h.dx}, {"ny", h.ny}, {"y0", h.y0}, {"dy", h.dy},
      {"events_per_position", h.nev}, {"ped", h.ped}, {"xy", h.xy},
      {"time_step_minutes", r.stepMinutes}, {"file_limit_bytes", r.fileLimitBytes},
      {"save_rule", {{"suppress", r.suppress}, {"tdc_min", r.tdcMin}, {"pass_fraction", r.frac}}},
      {"read_board", r.readBoard}, {"late_skip", r.lateSkip},
  };
  j["tdc"] = {{"window_width", r.tdcWindowWidth}, {"window_offset", r.tdcWindowOffset},
              {"extra_margin", r.tdcExtraMargin}, {"edge", r.tdcEdge}};
  if (r.tdcReadbackTime) {
    json values = json::object();
    for (const auto& [k, v] : r.tdcReadback) values[k] = v ? json(*v) : json(nullptr);
    j["tdc"]["read_back"] = {{"time", time_json(r.tdcReadbackTime)}, {"values", values}};
  } else {
    j["tdc"]["read_back"] = nullptr;
  }
  if (r.board)
    j["board_config"] = {{"path", r.board->path}, {"values", r.board->values},
                         {"sha256", r.board->sha256}};
  else
    j["board_config"] = nullptr;
  if (r.bias) {
    const RunRecordBias& b = *r.bias;
    json jb;
    if (b.setTime) jb["set"] = {{"volts", b.setVolts}, {"dac", b.dac}, {"time", time_json(b.setTime)}};
    if (b.readTime) {
      jb["read"] = {{"volts", b.readVolts ? json(*b.readVolts) : json(nullptr)},
                    {"microamps", b.readMicroamps ? json(*b.readMicroamps) : json(nullptr)},
                    {"time", time_json(b.readTime)}};
    }
    j["bias"] = jb;
  } else {
    j["bias"] = nullptr;
  }
  json files = json::array();
  for (const auto& f : r.files) {
    json jf{{"name", f.name}, {"size", f.size}};
    if (!f.sha256.empty()) jf["sha256"] = f.sha256;
    files.push_back(jf);
  }
  j["files"] = files;
  json pos = json::array();
  for (const auto& p : r.positions)
    pos.push_back({{"ix", p.ix}, {"iy", p.iy}, {"xset", p.xset}, {"yset", p.yset},
                   {"time", p.time}, {"saved", p.saved}, {"skipped", p.skipped},
                   {"dropped", p.dropped}, {"mispaired", p.mispaired},
                   {"pairing", {{"checked", p.checked}, {"frames_dropped", p.framesDropped},
                                {"multi_trigger", p.multiTrigger}}}});
  j["totals"] = {{"positions", r.positions.size()}, {"saved", r.saved()}, {"skipped", r.skipped()},
                 {"dropped", r.dropped()}, {"mispaired", r.mispaired()},
                 {"frames_dropped", r.framesDropped()}};
  j["positions"] = pos;
  return j.dump(1) + "\n";
}

std::optional<RunRecord> run_record_parse(const std::string& text, std::string* why) {
  try {
    const json j = json::parse(text);
    RunRecord r;
    r.base = j.at("base").get<std::string>();
    r.comment = j.at("comment").get<std::string>();
    r.version = j.at("station").at("version").get<std::string>();
    r.host = j.at("station").at("host").get<std::string>();
    r.startTime = j.at("start").at("unix").get<std::int64_t>();
    r.ended = j.at("ended").get<bool>();
    if (r.ended) {
      r.endTime = j.at("end").at("unix").get<std::int64_t>();
      r.endedBy = j.at("end").at("ended_by").get<std::string>();
    }
    const json& s = j.at("settings");
    r.header.nx = s.at("nx"), r.header.x0 = s.at("x0"), r.header.dx = s.at("dx");
    r.header.ny = s.at("ny"), r.header.y0 = s.at("y0"), r.header.dy = s.at("dy");
    r.header.nev = s.at("events_per_position"), r.header.ped = s.at("ped"), r.header.xy = s.at("xy");
    r.stepMinutes = s.at("time_step_minutes");
    r.fileLimitBytes = s.at("file_limit_bytes");
    r.suppress = s.at("save_rule").at("suppress");
    r.tdcMin = s.at("save_rule").at("tdc_min");
    r.frac = s.at("save_rule").at("pass_fraction");
    r.readBoard = s.value("read_board", true);
    r.lateSkip = s.value("late_skip", true);
    const json& t = j.at("tdc");
    r.tdcWindowWidth = t.at("window_width"), r.tdcWindowOffset = t.at("window_offset");
    r.tdcExtraMargin = t.at("extra_margin"), r.tdcEdge = t.at("edge");
    if (t.contains("read_back") && !t["read_back"].is_null()) {
      r.tdcReadbackTime = t["read_back"].at("time").at("unix");
      for (const auto& [k, v] : t["read_back"].at("values").items())
        r.tdcReadback.emplace_back(k, v.is_null() ? std::nullopt : std::optional<int>(v.get<int>()));
    }
    if (!j.at("board_config").is_null()) {
      const json& b = j.at("board_config");
      r.board = RunRecordBoardConfig{b.at("path").get<std::string>(),
                                     b.at("values").get<std::vector<std::uint32_t>>(),
                                     b.at("sha256").get<std::string>()};
    }
    if (!j.at("bias").is_null()) {
      const json& b = j.at("bias");
      RunRecordBias bias;
      if (b.contains("set")) {
        bias.setVolts = b["set"].at("volts"), bias.dac = b["set"].at("dac");
        bias.setTime = b["set"].at("time").at("unix");
      }
      if (b.contains("read")) {
        const json& rd = b["read"];
        if (!rd.at("volts").is_null()) bias.readVolts = rd["volts"].get<double>();
        if (!rd.at("microamps").is_null()) bias.readMicroamps = rd["microamps"].get<double>();
        bias.readTime = rd.at("time").at("unix");
      }
      r.bias = bias;
    }
    for (const json& f : j.at("files"))
      r.files.push_back({f.at("name").get<std::string>(), f.at("size").get<std::uint64_t>(),
                         f.value("sha256", std::string())});
    for (const json& p : j.at("positions"))
      r.positions.push_back({p.at("ix").get<int>(), p.at("iy").get<int>(), p.at("xset").get<int>(),
                             p.at("yset").get<int>(), p.at("time").get<std::uint32_t>(),
                             p.at("saved").get<std::uint64_t>(), p.at("skipped").get<std::uint64_t>(),
                             p.at("dropped").get<std::uint64_t>(),
                             p.at("mispaired").get<std::uint64_t>(),
                             p.value("/pairing/checked"_json_pointer, std::uint64_t{0}),
                             p.value("/pairing/frames_dropped"_json_pointer, std::uint64_t{0}),
                             p.value("/pairing/multi_trigger"_json_pointer, std::uint64_t{0})});
    return r;
  } catch (const json::exception& e) {
    if (why) *why = e.what();
    return std::nullopt;
  }
}

std::optional<RunRecord> run_record_read(const std::string& path, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (why) *why = "cannot open " + path + ": " + errno_text();
    return std::nullopt;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  std::string inner;
  auto r = run_record_parse(ss.str(), &inner);
  if (!r && why) *why = path + ": " + inner;
  return r;
}

bool run_record_write(const RunRecord& r, const std::string& path, std::string* why) {
  const std::string text = run_record_json(r);
  const std::string tmp = path + ".tmp";
  auto fail = [&](const char* what) {
    if (why) *why = std::string(what) + " " + tmp + ": " + errno_text();
    ::unlink(tmp.c_str());
    return false;
  };
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (why) *why = "cannot create " + tmp + ": " + errno_text();
    return false;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return fail("writing");
    }
    done += static_cast<std::size_t>(n);
  }
  // On disk before it replaces the old record: a crash right after the
  // rename must not leave an empty file under the record's name.
  if (::fsync(fd) != 0) {
    ::close(fd);
    return fail("syncing");
  }
  if (::close(fd) != 0) return fail("closing");
  if (std::rename(tmp.c_str(), path.c_str()) != 0) return fail("renaming");
  return true;
}

// ---- hashes ------------------------------------------------------------------

namespace {
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

std::string hex(const unsigned char* d, unsigned n) {
  static const char* digits = "0123456789abcdef";
  std::string s(2 * n, '0');
  for (unsigned i = 0; i < n; ++i) s[2 * i] = digits[d[i] >> 4], s[2 * i + 1] = digits[d[i] & 15];
  return s;
}
}  // namespace

std::string sha256_hex(const void* data, std::size_t n) {
  MdCtx ctx(EVP_MD_CTX_new());
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), data, n) != 1 || EVP_DigestFinal_ex(ctx.get(), md, &len) != 1)
    return {};
  return hex(md, len);
}

std::string sha256_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  MdCtx ctx(EVP_MD_CTX_new());
  bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
  std::vector<unsigned char> buf(1 << 20);
  while (ok) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    ok = EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<std::size_t>(n)) == 1;
  }
  ::close(fd);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  if (!ok || EVP_DigestFinal_ex(ctx.get(), md, &len) != 1) return {};
  return hex(md, len);
}

bool run_record_hash_files(RunRecord& r, const std::string& dir, std::string* why) {
  bool ok = true;
  for (RunRecordFile& f : r.files) {
    const std::string p = dir + "/" + f.name;
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) {
      if (why) *why = "cannot read " + p + ": " + errno_text();
      ok = false;
      continue;
    }
    f.size = static_cast<std::uint64_t>(st.st_size);
    f.sha256 = sha256_file(p);
    if (f.sha256.empty()) {
      if (why) *why = "cannot read " + p + ": " + errno_text();
      ok = false;
    }
  }
  return ok;
}

std::vector<std::string> run_record_verify(const RunRecord& r, const std::string& dir) {
  std::vector<std::string> bad;
  if (!r.ended) {
    bad.push_back("the run record has no end (the run did not finish): no file sizes or "
                  "checksums to compare");
    return bad;
  }
  if (r.files.empty()) bad.push_back("the run record lists no files");
  for (const RunRecordFile& f : r.files) {
    const std::string p = dir + "/" + f.name;
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) {
      bad.push_back(p + ": missing (" + errno_text() + ")");
      continue;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size != f.size) {
      bad.push_back(p + ": " + std::to_string(size) + " bytes, the record says " +
                    std::to_string(f.size));
      continue;
    }
    const std::string h = sha256_file(p);
    if (h.empty())
      bad.push_back(p + ": cannot be read (" + errno_text() + ")");
    else if (h != f.sha256)
      bad.push_back(p + ": SHA-256 " + h + " differs from the record's " + f.sha256);
  }
  return bad;
}

// ---- the run log -------------------------------------------------------------

std::string csv_field(const std::string& s) {
  const bool quote = s.find_first_of(",\"\r\n") != std::string::npos ||
                     (!s.empty() && (s.front() == ' ' || s.back() == ' '));
  if (!quote) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::vector<std::vector<std::string>> csv_parse(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  std::string field;
  bool quoted = false, any = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
      continue;
    }
    if (c == '"') {
      quoted = any = true;
    } else if (c == ',') {
      row.push_back(std::move(field));
      field.clear();
      any = true;
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      if (any || !field.empty()) {
        row.push_back(std::move(field));
        rows.push_back(std::move(row));
      }
      row.clear();
      field.clear();
      any = false;
    } else {
      field += c;
      any = true;
    }
  }
  if (any || !field.empty()) {
    row.push_back(std::move(field));
    rows.push_back(std::move(row));
  }
  return rows;
}

bool run_log_append(const RunRecord& r, const std::string& logPath, std::string* why) {
  std::string line;
  const std::string fields[] = {
      utc_iso(r.startTime),
      r.ended ? utc_iso(r.endTime) : std::string(),
      r.base,
      std::to_string(r.files.size()),
      std::to_string(r.positions.size()),
      std::to_string(r.saved()),
      r.ended ? r.endedBy : std::string("did not end"),
      r.comment,
  };
  for (const std::string& f : fields) line += (&f == fields ? "" : ",") + csv_field(f);
  line += "\n";
  const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (why) *why = "cannot open " + logPath + ": " + errno_text();
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size == 0) line = std::string(kRunLogHeader) + "\n" + line;
  const ssize_t n = ::write(fd, line.data(), line.size());
  const bool ok = n == static_cast<ssize_t>(line.size());
  if (!ok && why) *why = "writing " + logPath + " failed: " + (n < 0 ? errno_text() : "short write");
  ::close(fd);
  return ok;
}

// ---- facts the session knows ------------------------------------------------

namespace {
std::mutex g_notesMu;
std::optional<RunRecordBias> g_bias;
}  // namespace

void run_record_note_bias_set(double volts, int dac) {
  std::lock_guard lk(g_notesMu);
  if (!g_bias) g_bias.emplace();
  g_bias->setVolts = volts;
  g_bias->dac = dac;
  g_bias->setTime = std::time(nullptr);
}

void run_record_note_bias_read(std::optional<double> volts, std::optional<double> microamps) {
  std::lock_guard lk(g_notesMu);
  if (!g_bias) g_bias.emplace();
  g_bias->readVolts = volts;
  g_bias->readMicroamps = microamps;
  g_bias->readTime = std::time(nullptr);
}

std::optional<RunRecordBias> run_record_last_bias() {
  std::lock_guard lk(g_notesMu);
  return g_bias;
}
