#include "runfile.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "coarse_clock.h"
#include "platform.h"

namespace {

struct Out {
  std::uint8_t* p;
  void u32(std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
    p += 4;
  }
  void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
  void u16(std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p += 2;
  }
};

struct In {
  const std::uint8_t* p;
  std::uint32_t u32() {
    std::uint32_t v = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    p += 4;
    return v;
  }
  std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
  std::uint16_t u16() {
    std::uint16_t v = static_cast<std::uint16_t>(p[0] | (p[1] << 8));
    p += 2;
    return v;
  }
};

}  // namespace

std::array<std::uint8_t, kRunRecSize> encode(const RUNREC& r) {
  std::array<std::uint8_t, kRunRecSize> b{};
  Out o{b.data()};
  o.u32(r.id), o.u32(r.len), o.u32(r.fver), o.u32(r.time), o.u32(r.nev), o.u32(r.nch);
  o.u32(r.ped), o.u32(r.xy), o.i32(r.nx), o.i32(r.x0), o.i32(r.dx), o.i32(r.ny), o.i32(r.y0);
  o.i32(r.dy);
  return b;
}

std::array<std::uint8_t, kPosRecSize> encode(const POSREC& r) {
  std::array<std::uint8_t, kPosRecSize> b{};
  Out o{b.data()};
  o.u32(r.id), o.u32(r.len), o.u32(r.time), o.i32(r.ix), o.i32(r.x), o.i32(r.xset);
  o.i32(r.iy), o.i32(r.y), o.i32(r.yset);
  return b;
}

std::array<std::uint8_t, kEvtRecSize> encode(const EVTREC& r) {
  std::array<std::uint8_t, kEvtRecSize> b{};
  Out o{b.data()};
  o.u32(r.id), o.u32(r.len), o.u32(r.nev);
  for (auto d : r.data) o.u16(d);
  return b;
}

std::array<std::uint8_t, kEndRecSize> encode(const ENDREC& r) {
  std::array<std::uint8_t, kEndRecSize> b{};
  Out o{b.data()};
  o.u32(r.id), o.u32(r.len), o.u32(r.time);
  return b;
}

RUNREC decode_runrec(std::span<const std::uint8_t, kRunRecSize> b) {
  In i{b.data()};
  RUNREC r;
  r.id = i.u32(), r.len = i.u32(), r.fver = i.u32(), r.time = i.u32(), r.nev = i.u32();
  r.nch = i.u32(), r.ped = i.u32(), r.xy = i.u32();
  r.nx = i.i32(), r.x0 = i.i32(), r.dx = i.i32(), r.ny = i.i32(), r.y0 = i.i32(), r.dy = i.i32();
  return r;
}

POSREC decode_posrec(std::span<const std::uint8_t, kPosRecSize> b) {
  In i{b.data()};
  POSREC r;
  r.id = i.u32(), r.len = i.u32(), r.time = i.u32();
  r.ix = i.i32(), r.x = i.i32(), r.xset = i.i32(), r.iy = i.i32(), r.y = i.i32(), r.yset = i.i32();
  return r;
}

EVTREC decode_evtrec(std::span<const std::uint8_t, kEvtRecSize> b) {
  In i{b.data()};
  EVTREC r;
  r.id = i.u32(), r.len = i.u32(), r.nev = i.u32();
  for (auto& d : r.data) d = i.u16();
  return r;
}

ENDREC decode_endrec(std::span<const std::uint8_t, kEndRecSize> b) {
  In i{b.data()};
  ENDREC r;
  r.id = i.u32(), r.len = i.u32(), r.time = i.u32();
  return r;
}

std::size_t record_size(std::uint32_t id) {
  switch (id) {
    case RUNREC_ID: return kRunRecSize;
    case ENDREC_ID: return kEndRecSize;
    case POSREC_ID: return kPosRecSize;
    case EVTREC_ID: return kEvtRecSize;
    default: return 0;
  }
}

std::string run_file_name(const std::string& base, int fcount) {
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "_file%02d.dat", fcount);
  std::string name = base + suffix;
  if (name.size() > kMaxRunFileName) return {};
  return name;
}

// ---- writer ----------------------------------------------------------------

namespace {
long long monotonic_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(CoarseClock::now().time_since_epoch())
      .count();
}
}  // namespace


RunFileWriter::~RunFileWriter() {
  if (fp_) std::fclose(fp_);
}

bool RunFileWriter::fail(const char* what) {
  con_printf("Run file %s: %s failed (%s) -- saving stopped, data from here on is NOT recorded!\n",
             name_.c_str(), what, std::strerror(errno));
  failed_ = true;
  if (fp_) {
    std::fclose(fp_);
    fp_ = nullptr;
  }
  return false;
}

bool RunFileWriter::openNumbered(int n) {
  std::string name = run_file_name(base_, n);
  if (name.empty()) {
    con_printf("Run file base name \"%s\" is too long (file names hold at most %zu characters) -- "
               "nothing is saved.\n",
               base_.c_str(), kMaxRunFileName);
    failed_ = true;
    return false;
  }
  name_ = name;
  fp_ = fopen_new(name_.c_str());
  if (!fp_ && errno == EEXIST) {
    con_printf("Run file %s exists -- not overwritten; saving stopped, data from here on is NOT "
               "recorded! Move that file away before the next run.\n",
               name_.c_str());
    failed_ = true;
    return false;
  }
  if (!fp_) return fail("open");
  if (!buffer_) buffer_ = std::make_unique<char[]>(kBufferBytes);
  std::setvbuf(fp_, buffer_.get(), _IOFBF, kBufferBytes);
  fcount_ = n;
  pos_ = 0;
  pending_ = false;
  lastFlushMs_ = monotonic_ms();
  files_.push_back(name_);
  return true;
}

bool RunFileWriter::open(const std::string& base, std::int64_t fmaxBytes) {
  if (fp_) std::fclose(fp_);
  fp_ = nullptr;
  failed_ = false;
  files_.clear();
  base_ = base;
  fmax_ = fmaxBytes;
  return openNumbered(1);
}

bool RunFileWriter::put(const std::uint8_t* data, std::size_t n) {
  if (!fp_ || failed_) return false;
  errno = 0;
  if (std::fwrite(data, 1, n, fp_) != n) {
    if (errno == 0) errno = EIO;
    return fail("write");
  }
  pos_ += static_cast<std::int64_t>(n);
  pending_ = true;
  return flush_if_due();
}

bool RunFileWriter::flush() {
  if (!fp_ || failed_) return false;
  lastFlushMs_ = monotonic_ms();
  pending_ = false;
  errno = 0;
  if (std::fflush(fp_) != 0) {
    if (errno == 0) errno = EIO;
    return fail("write");
  }
  return true;
}

bool RunFileWriter::flush_if_due() {
  if (!pending_ || !fp_) return !failed_;
  if (monotonic_ms() - lastFlushMs_ < kFlushPeriodMs) return true;
  return flush();
}

bool RunFileWriter::write(const RUNREC& r) { auto b = encode(r); return put(b.data(), b.size()); }
bool RunFileWriter::write(const POSREC& r) {
  auto b = encode(r);
  return put(b.data(), b.size()) && flush();
}
bool RunFileWriter::write(const EVTREC& r) { auto b = encode(r); return put(b.data(), b.size()); }

bool RunFileWriter::close(std::uint32_t endTime) {
  if (!fp_) return false;
  ENDREC e;
  e.time = endTime;
  auto b = encode(e);
  bool ok = put(b.data(), b.size());
  if (!fp_) return false;  // put failed and closed it
  errno = 0;
  // fclose flushes: a full disk often shows only here.
  int rc = std::fclose(fp_);
  fp_ = nullptr;
  if (rc != 0) {
    if (errno == 0) errno = EIO;
    return fail("close");
  }
  return ok;
}

bool RunFileWriter::rollover_if_needed(std::uint32_t endTime) {
  if (!fp_ || fmax_ == 0 || pos_ <= fmax_) return true;
  if (!close(endTime)) return false;
  if (!openNumbered(fcount_ + 1)) return false;
  con_printf("\tOpened file %s\n", name_.c_str());
  return true;
}

// ---- reader ----------------------------------------------------------------

RunFileRead read_run_records(std::FILE* fp, const std::function<void(const RunFileRecord&)>& on) {
  RunFileRead o;
  std::uint8_t buf[kEvtRecSize];  // the largest record
  static_assert(kEvtRecSize >= kRunRecSize && kEvtRecSize >= kPosRecSize &&
                kEvtRecSize >= kEndRecSize);
  std::uint64_t off = 0;
  bool ended = false;
  char msg[160];
  auto fail = [&](const char* what, bool truncated) {
    o.error = what;
    o.errorOffset = off;
    o.truncated = truncated;
    o.bytes = off;
    return o;
  };
  for (;;) {
    std::size_t got = std::fread(buf, 1, 8, fp);
    if (got == 0) break;
    if (ended) return fail("data after the end record", false);
    if (got < 8) {
      std::snprintf(msg, sizeof msg, "truncated record header (%zu bytes left)", got);
      return fail(msg, true);
    }
    In h{buf};
    const std::uint32_t id = h.u32(), len = h.u32();
    const std::size_t want = record_size(id);
    if (want == 0) {
      std::snprintf(msg, sizeof msg, "unknown record type %u", id);
      return fail(msg, false);
    }
    if (len != want) {
      std::snprintf(msg, sizeof msg, "record type %u has length %u, expected %zu", id, len, want);
      return fail(msg, false);
    }
    got = std::fread(buf + 8, 1, want - 8, fp);
    if (got < want - 8) {
      std::snprintf(msg, sizeof msg, "truncated record type %u (%zu of %zu bytes)", id, got + 8,
                    want);
      return fail(msg, !std::ferror(fp));
    }
    RunFileRecord r;
    r.id = id;
    r.offset = off;
    switch (id) {
      case RUNREC_ID: r.run = decode_runrec(std::span<const std::uint8_t, kRunRecSize>(buf, kRunRecSize)); break;
      case POSREC_ID: r.pos = decode_posrec(std::span<const std::uint8_t, kPosRecSize>(buf, kPosRecSize)); break;
      case EVTREC_ID: r.evt = decode_evtrec(std::span<const std::uint8_t, kEvtRecSize>(buf, kEvtRecSize)); break;
      case ENDREC_ID:
        r.end = decode_endrec(std::span<const std::uint8_t, kEndRecSize>(buf, kEndRecSize));
        ended = true;
        break;
    }
    on(r);
    off += want;
  }
  if (std::ferror(fp)) {
    std::snprintf(msg, sizeof msg, "read error: %s", std::strerror(errno));
    return fail(msg, false);
  }
  o.bytes = off;
  o.complete = ended;
  return o;
}

RunFileScan scan_run_file(const std::string& path) {
  RunFileScan s;
  s.file = path;
  std::FILE* fp = std::fopen(path.c_str(), "rb");
  if (!fp) {
    s.error = "cannot open file: " + std::string(std::strerror(errno));
    return s;
  }
  struct stat st {};
  if (::fstat(fileno(fp), &st) == 0) s.size = static_cast<std::uint64_t>(st.st_size);
  const RunFileRead rd = read_run_records(fp, [&](const RunFileRecord& r) { s.records.push_back(r); });
  std::fclose(fp);
  s.complete = rd.complete;
  s.error = rd.error;
  s.errorOffset = rd.errorOffset;
  return s;
}

std::optional<RUNREC> read_run_header(const std::string& path, std::string* why) {
  auto say = [&](std::string w) {
    if (why) *why = std::move(w);
    return std::nullopt;
  };
  std::FILE* fp = std::fopen(path.c_str(), "rb");
  if (!fp) return say("cannot open: " + std::string(std::strerror(errno)));
  std::array<std::uint8_t, kRunRecSize> b{};
  std::size_t n = std::fread(b.data(), 1, b.size(), fp);
  std::fclose(fp);
  if (n < b.size())
    return say("only " + std::to_string(n) + " bytes, a run header needs " + std::to_string(kRunRecSize));
  RUNREC r = decode_runrec(b);
  if (r.id != RUNREC_ID)
    return say("first word is " + std::to_string(r.id) + ", not a run header (1)");
  return r;
}

// ---- repair ----------------------------------------------------------------

RepairResult repair_run_file(const std::string& in, const std::string& out) {
  RepairResult res;
  struct stat si {}, so {};
  if (::stat(in.c_str(), &si) != 0) {
    res.error = "cannot read " + in + ": " + std::strerror(errno);
    return res;
  }
  if (::stat(out.c_str(), &so) == 0 && so.st_dev == si.st_dev && so.st_ino == si.st_ino) {
    res.error = "the repaired copy must not overwrite the original";
    return res;
  }
  RunFileScan scan = scan_run_file(in);
  if (scan.records.empty()) {
    res.error = scan.error.empty() ? "no complete record in " + in : scan.error;
    return res;
  }
  // Written beside the target and renamed: a failed repair leaves no
  // half-written copy that could be taken for a good one.
  const std::string tmp = out + ".part";
  std::FILE* fp = std::fopen(tmp.c_str(), "wb");
  if (!fp) {
    res.error = "cannot create " + tmp + ": " + std::strerror(errno);
    return res;
  }
  bool ok = true;
  std::uint64_t kept = 0;
  auto put = [&](const auto& bytes) {
    ok = ok && std::fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
    kept += bytes.size();
  };
  for (const RunFileRecord& r : scan.records) {
    switch (r.id) {
      case RUNREC_ID: put(encode(r.run)); break;
      case POSREC_ID: put(encode(r.pos)); break;
      case EVTREC_ID: put(encode(r.evt)); break;
      case ENDREC_ID: put(encode(r.end)); break;
    }
  }
  res.recordsKept = scan.records.size();
  if (scan.records.back().id != ENDREC_ID) {
    ENDREC e;
    e.time = static_cast<std::uint32_t>(si.st_mtime);
    put(encode(e));
    res.endAdded = true;
    kept -= kEndRecSize;
  }
  res.bytesDropped = scan.size > kept ? scan.size - kept : 0;
  if (std::fclose(fp) != 0) ok = false;
  if (!ok || std::rename(tmp.c_str(), out.c_str()) != 0) {
    res.error = "writing " + out + " failed: " + std::strerror(errno);
    std::remove(tmp.c_str());
  }
  return res;
}

std::int64_t free_bytes_for(const std::string& file) {
  const auto slash = file.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : file.substr(0, slash));
  struct statvfs v {};
  if (::statvfs(dir.c_str(), &v) != 0) return -1;
  return static_cast<std::int64_t>(v.f_bavail) * static_cast<std::int64_t>(v.f_frsize);
}
