// The run-file readers on arbitrary file contents: the record scanner, the
// run-header reader, the repair and the dump of a file series.
//
// Input: byte 0 picks how many files the series has (1 to 3) and bytes 1-2
// where the rest is cut between them. Checked beyond the sanitizers:
//   - every record the scanner returns re-encodes to the file's bytes at its
//     offset, records lie back to back from offset 0, and a file is
//     complete only when it ends right after its first end record;
//   - the header reader agrees with the file's first 56 bytes;
//   - a repaired copy scans clean and complete, holds the same records
//     (plus one end record when the original had none), and the byte counts
//     add up; a file without one whole record is refused and no copy made;
//   - the dump's result is 0 exactly when every file is whole and complete
//     and the series starts with a run header.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dump.h"
#include "runfile.h"

namespace {

std::string g_dir;
std::FILE* g_null = nullptr;

void fail(const char* what) {
  std::fprintf(stderr, "fuzz_runfile: %s\n", what);
  std::abort();
}

void write_file(const std::string& path, const std::uint8_t* p, std::size_t n) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) fail("cannot create a scratch file");
  if (n && std::fwrite(p, 1, n, f) != n) fail("short write");
  std::fclose(f);
}

template <std::size_t N>
bool same(const std::array<std::uint8_t, N>& enc, const std::uint8_t* p) {
  return std::memcmp(enc.data(), p, N) == 0;
}

bool record_matches(const RunFileRecord& r, const std::uint8_t* p) {
  switch (r.id) {
    case RUNREC_ID: return same(encode(r.run), p);
    case POSREC_ID: return same(encode(r.pos), p);
    case EVTREC_ID: return same(encode(r.evt), p);
    case ENDREC_ID: return same(encode(r.end), p);
  }
  return false;
}

bool same_record(const RunFileRecord& a, const RunFileRecord& b) {
  if (a.id != b.id) return false;
  switch (a.id) {
    case RUNREC_ID: return encode(a.run) == encode(b.run);
    case POSREC_ID: return encode(a.pos) == encode(b.pos);
    case EVTREC_ID: return encode(a.evt) == encode(b.evt);
    case ENDREC_ID: return encode(a.end) == encode(b.end);
  }
  return false;
}

// Checks the scan of one file against its bytes; returns the scan.
RunFileScan check_scan(const std::string& path, const std::uint8_t* p, std::size_t n) {
  RunFileScan s = scan_run_file(path);
  if (s.size != n) fail("scan size differs from the file's");
  std::uint64_t off = 0;
  for (std::size_t k = 0; k < s.records.size(); ++k) {
    const RunFileRecord& r = s.records[k];
    const std::size_t len = record_size(r.id);
    if (len == 0) fail("scan returned an unknown record type");
    if (r.offset != off) fail("records are not back to back");
    if (off + len > n) fail("record runs past the end of the file");
    if (!record_matches(r, p + off)) fail("record does not re-encode to the file's bytes");
    if (r.id == ENDREC_ID && k + 1 != s.records.size()) fail("records after an end record");
    off += len;
  }
  if (s.error.empty()) {
    if (off != n) fail("no error reported, yet bytes were left over");
  } else if (s.errorOffset != off) {
    fail("error offset is not where the records stop");
  }
  const bool endsWithEnd = !s.records.empty() && s.records.back().id == ENDREC_ID;
  if (s.complete != (endsWithEnd && off == n)) fail("completeness disagrees with the records");
  return s;
}

void check_header(const std::string& path, const std::uint8_t* p, std::size_t n) {
  std::string why;
  std::optional<RUNREC> h = read_run_header(path, &why);
  const bool want = n >= kRunRecSize && p[0] == 1 && p[1] == 0 && p[2] == 0 && p[3] == 0;
  if (h.has_value() != want) fail("run-header reader accepts the wrong files");
  if (h && !same(encode(*h), p)) fail("run header read differs from the file's first bytes");
  if (!h && why.empty()) fail("run header refused without a reason");
}

void check_repair(const std::string& path, const RunFileScan& s) {
  const std::string out = path + ".repaired";
  unlink(out.c_str());
  RepairResult rr = repair_run_file(path, out);
  struct stat st {};
  const bool made = ::stat(out.c_str(), &st) == 0;
  if (s.records.empty()) {
    if (rr.error.empty() || made) fail("a file without a whole record was repaired");
    return;
  }
  if (!rr.error.empty() || !made) fail("repair of a file with whole records failed");
  if (rr.recordsKept != s.records.size()) fail("repair kept a different number of records");
  const bool needEnd = s.records.back().id != ENDREC_ID;
  if (rr.endAdded != needEnd) fail("end record added when it should not be, or missing");
  RunFileScan r = scan_run_file(out);
  if (!r.error.empty() || !r.complete) fail("the repaired copy does not scan clean and complete");
  if (r.records.size() != s.records.size() + (needEnd ? 1 : 0)) fail("repaired copy record count");
  for (std::size_t k = 0; k < s.records.size(); ++k)
    if (!same_record(r.records[k], s.records[k])) fail("repaired copy changed a record");
  const std::uint64_t kept = r.size - (needEnd ? kEndRecSize : 0);
  if (rr.bytesDropped != s.size - kept) fail("dropped byte count does not add up");
  unlink(out.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/mdq-fuzz-runfile-XXXXXX";
  if (!mkdtemp(tmpl)) fail("cannot create a scratch directory");
  g_dir = tmpl;
  std::atexit([] {
    for (int i = 1; i <= 3; ++i) {
      unlink((g_dir + "/run_file0" + std::to_string(i) + ".dat").c_str());
      unlink((g_dir + "/run_file0" + std::to_string(i) + ".dat.repaired").c_str());
    }
    rmdir(g_dir.c_str());
  });
  g_null = std::fopen("/dev/null", "w");
  if (!g_null) fail("cannot open /dev/null");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const int nfiles = 1 + data[0] % 3;
  const std::uint8_t* body = data + 3;
  const std::size_t n = size - 3;
  std::size_t cut[4] = {0, n, n, n};
  if (nfiles >= 2) cut[1] = n * data[1] / 255;
  if (nfiles == 3) cut[2] = cut[1] + (n - cut[1]) * data[2] / 255;

  std::vector<std::string> files;
  bool allGood = true;
  bool startsWithRun = false;
  for (int i = 0; i < nfiles; ++i) {
    const std::string path = g_dir + "/run_file0" + std::to_string(i + 1) + ".dat";
    const std::uint8_t* p = body + cut[i];
    const std::size_t len = cut[i + 1] - cut[i];
    write_file(path, p, len);
    files.push_back(path);
    RunFileScan s = check_scan(path, p, len);
    allGood = allGood && s.complete && s.error.empty();
    if (i == 0) startsWithRun = !s.records.empty() && s.records.front().id == RUNREC_ID;
    check_header(path, p, len);
    check_repair(path, s);
  }

  // The dump prints its summary lines on stderr in CSV mode.
  std::FILE* savedErr = stderr;
  stderr = g_null;
  const int text = dump_run_files(files, false, g_null);
  const int csv = dump_run_files(files, true, g_null, data[0] & 8 ? g_null : nullptr);
  stderr = savedErr;
  std::vector<PositionSummary> rows = summarize_positions(files);

  const int want = allGood && startsWithRun ? 0 : 1;
  if (text != want || csv != want) fail("dump result disagrees with the files' state");
  for (const PositionSummary& r : rows)
    if (r.skipped + r.saved < r.rangeEnd && r.rangeEnd >= r.saved) fail("summary counts do not add up");
  return 0;
}
