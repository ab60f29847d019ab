// Writes a run file series, its run record and run log line with the station's own code,
// for the Python reader's tests: make_series BASE NX NY NEV FMAX_BYTES SEED.
// Event numbers have gaps (events not saved) and the data is random, so a
// reader that mixes up records, fields or files cannot agree by chance.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "run_record.h"
#include "runfile.h"

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: make_series BASE NX NY NEV FMAX_BYTES SEED\n");
    return 2;
  }
  const std::string base = argv[1];
  RUNREC h;
  h.nx = std::atoi(argv[2]), h.ny = std::atoi(argv[3]), h.nev = std::atoi(argv[4]);
  h.x0 = -7, h.dx = 3, h.y0 = 11, h.dy = -5, h.ped = 1, h.xy = 2, h.time = 1700000000;
  const std::int64_t fmax = std::atoll(argv[5]);
  std::mt19937 rng(static_cast<unsigned>(std::atoi(argv[6])));

  RunFileWriter w;
  if (!w.open(base, fmax) || !w.write(h)) return 1;
  RunRecord rec;
  rec.base = path_leaf(base);
  rec.comment = "made by make_series";
  rec.startTime = h.time;
  rec.header = h;
  rec.fileLimitBytes = fmax;
  std::uint32_t t = h.time;
  for (int iy = 0; iy < h.ny; ++iy)
    for (int ix = 0; ix < h.nx; ++ix) {
      POSREC p;
      p.ix = ix, p.iy = iy, p.xset = h.x0 + ix * h.dx, p.yset = h.y0 + iy * h.dy, p.time = ++t;
      if (!w.write(p)) return 1;
      RunRecordPosition rp{p.ix, p.iy, p.xset, p.yset, p.time};
      for (std::uint32_t n = 1; n <= h.nev; ++n) {
        if (rng() % 7 == 0) {
          ++rp.dropped;
        } else {
          EVTREC e;
          e.nev = n;
          for (auto& d : e.data) d = static_cast<std::uint16_t>(rng());
          if (!w.write(e)) return 1;
          ++rp.saved;
        }
        if (n % 1000 == 0 && !w.rollover_if_needed(t)) return 1;
      }
      rec.positions.push_back(rp);
    }
  if (!w.close(t)) return 1;
  for (const auto& f : w.files()) rec.files.push_back({path_leaf(f), 0, {}});
  rec.ended = true;
  rec.endTime = t;
  rec.endedBy = "grid done";
  std::string why;
  if (!run_record_hash_files(rec, path_dir(base), &why) ||
      !run_record_write(rec, run_record_path(base), &why) ||
      !run_log_append(rec, run_log_path(base), &why)) {
    std::fprintf(stderr, "make_series: %s\n", why.c_str());
    return 1;
  }
  for (const auto& f : w.files()) std::printf("series: %s\n", f.c_str());
  return 0;
}
