// mdq-dump: prints a run file series as a readable summary with its run
// record, optionally the events and a per-position summary as CSV; checks
// the files against the record; prints an output folder's run log; repairs
// a file cut short by a crash into a new copy.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "dump.h"
#include "run_record.h"
#include "runfile.h"

namespace {

std::string repaired_name(const std::string& in) {
  std::string stem = in;
  if (stem.size() > 4 && stem.compare(stem.size() - 4, 4, ".dat") == 0) stem.resize(stem.size() - 4);
  return stem + "_repaired.dat";
}

int repair(const std::string& in, std::string out) {
  if (out.empty()) out = repaired_name(in);
  RepairResult r = repair_run_file(in, out);
  if (!r.error.empty()) {
    std::fprintf(stderr, "mdq-dump: %s: %s\n", in.c_str(), r.error.c_str());
    return 1;
  }
  std::printf("%s -> %s: %zu complete records kept, %llu trailing bytes dropped%s\n", in.c_str(),
              out.c_str(), r.recordsKept, static_cast<unsigned long long>(r.bytesDropped),
              r.endAdded ? ", end record added" : " (already ended with an end record)");
  return 0;
}

void print_record(const std::string& file, std::FILE* out) {
  const std::string path = run_record_path_for(file);
  if (path.empty()) return;
  std::FILE* probe = std::fopen(path.c_str(), "rb");
  if (!probe) {
    std::fprintf(out, "no run record (%s)\n", path.c_str());
    return;
  }
  std::fclose(probe);
  std::string why;
  const auto r = run_record_read(path, &why);
  if (!r) {
    std::fprintf(out, "run record %s: unreadable: %s\n", path.c_str(), why.c_str());
    return;
  }
  std::fprintf(out, "run record %s:\n", path.c_str());
  std::fprintf(out, "  started %s", utc_iso(r->startTime).c_str());
  if (r->ended)
    std::fprintf(out, ", ended %s (%s)\n", utc_iso(r->endTime).c_str(), r->endedBy.c_str());
  else
    std::fprintf(out, ", NO END: the run did not finish (the station stopped during it)\n");
  if (!r->comment.empty()) std::fprintf(out, "  comment: %s\n", r->comment.c_str());
  std::fprintf(out, "  station %s on %s\n", r->version.c_str(), r->host.c_str());
  std::fprintf(out,
               "  time step %u min, file limit %lld bytes, save rule: %s (TDC min %d, pass "
               "fraction %g)\n",
               r->stepMinutes, static_cast<long long>(r->fileLimitBytes),
               r->suppress ? "threshold" : "every event", r->tdcMin, r->frac);
  std::fprintf(out, "  TDC window width %d, offset %d, extra margin %d, edge %d\n",
               r->tdcWindowWidth, r->tdcWindowOffset, r->tdcExtraMargin, r->tdcEdge);
  if (r->tdcReadbackTime) {
    std::fprintf(out, "  TDC read back at %s:", utc_iso(r->tdcReadbackTime).c_str());
    for (const auto& [k, v] : r->tdcReadback)
      std::fprintf(out, " %s=%s", k.c_str(), v ? std::to_string(*v).c_str() : "(no answer)");
    std::fprintf(out, "\n");
  }
  if (r->board)
    std::fprintf(out, "  board configuration %s (%zu values, SHA-256 %s)\n", r->board->path.c_str(),
                 r->board->values.size(), r->board->sha256.c_str());
  else
    std::fprintf(out, "  board configuration: none loaded\n");
  if (r->bias && r->bias->setTime)
    std::fprintf(out, "  bias set %.2f V (DAC %d) at %s\n", r->bias->setVolts, r->bias->dac,
                 utc_iso(r->bias->setTime).c_str());
  if (r->bias && r->bias->readTime) {
    std::fprintf(out, "  bias read back");
    if (r->bias->readVolts) std::fprintf(out, " %.2f V", *r->bias->readVolts);
    if (r->bias->readMicroamps) std::fprintf(out, " %.2f uA", *r->bias->readMicroamps);
    std::fprintf(out, " at %s\n", utc_iso(r->bias->readTime).c_str());
  }
  for (const auto& f : r->files)
    std::fprintf(out, "  file %s: %llu bytes%s%s\n", f.name.c_str(),
                 static_cast<unsigned long long>(f.size), f.sha256.empty() ? "" : ", SHA-256 ",
                 f.sha256.c_str());
  std::fprintf(out,
               "  %zu position(s): %llu event(s) saved, %llu skipped, %llu dropped, %llu "
               "mispaired\n",
               r->positions.size(), static_cast<unsigned long long>(r->saved()),
               static_cast<unsigned long long>(r->skipped()),
               static_cast<unsigned long long>(r->dropped()),
               static_cast<unsigned long long>(r->mispaired()));
}

int verify(const std::string& file) {
  const std::string path = run_record_path_for(file);
  if (path.empty()) {
    std::fprintf(stderr, "mdq-dump: %s is neither NAME_fileNN.dat nor NAME_run.json\n", file.c_str());
    return 2;
  }
  std::string why;
  const auto r = run_record_read(path, &why);
  if (!r) {
    std::fprintf(stderr, "mdq-dump: no usable run record: %s\n", why.c_str());
    return 1;
  }
  const auto bad = run_record_verify(*r, path_dir(path));
  for (const auto& b : bad) std::fprintf(stderr, "MISMATCH %s\n", b.c_str());
  if (!bad.empty()) return 1;
  std::printf("%s: %zu file(s) match the run record in size and SHA-256\n", path.c_str(),
              r->files.size());
  return 0;
}

int print_runs(const std::string& dir) {
  const std::string path = dir + "/runs.csv";
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "mdq-dump: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  const auto rows = csv_parse(ss.str());
  std::vector<std::size_t> width;
  for (const auto& row : rows)
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (width.size() <= i) width.push_back(0);
      width[i] = std::max(width[i], row[i].size());
    }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      std::string cell = row[i];
      // One line per run even when a comment holds a line break.
      std::replace(cell.begin(), cell.end(), '\n', ' ');
      line += cell;
      if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
    }
    std::printf("%s\n", line.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App cli{"mdq-dump - read mdq run data files"};
  std::vector<std::string> files;
  bool csv = false;
  std::string repairFile, output, summaryFile, verifyFile, runsDir;
  cli.add_option("files", files, "run files (name_file01.dat ...), in order");
  cli.add_flag("--csv", csv,
               "print every event as a CSV row, then (after an empty line) one row per scan "
               "position: events saved and skipped");
  cli.add_option("--summary", summaryFile,
                 "with --csv: write the per-position rows to FILE instead, leaving the event "
                 "table alone on standard output");
  cli.add_option("--repair", repairFile,
                 "write a repaired copy of FILE (complete records, then an end record); "
                 "the original is never modified");
  cli.add_option("-o,--output", output, "with --repair: the copy's name (default NAME_repaired.dat)");
  cli.add_option("--verify", verifyFile,
                 "check the sizes and SHA-256 of a series' files (FILE: any of them, or its "
                 "NAME_run.json) against its run record; exit 1 naming a file that differs");
  cli.add_option("--runs", runsDir, "print the run log DIR/runs.csv as a table");
  CLI11_PARSE(cli, argc, argv);
  if (!repairFile.empty()) return repair(repairFile, output);
  if (!verifyFile.empty()) return verify(verifyFile);
  if (!runsDir.empty()) return print_runs(runsDir);
  if (files.empty()) {
    std::fprintf(stderr, "mdq-dump: name one or more run files (or --repair FILE)\n%s",
                 cli.help().c_str());
    return 2;
  }
  if (!summaryFile.empty() && !csv) {
    std::fprintf(stderr, "mdq-dump: --summary goes with --csv\n");
    return 2;
  }
  std::FILE* summary = nullptr;
  if (!summaryFile.empty() && !(summary = std::fopen(summaryFile.c_str(), "w"))) {
    std::fprintf(stderr, "mdq-dump: cannot create %s: %s\n", summaryFile.c_str(), std::strerror(errno));
    return 2;
  }
  int rc = dump_run_files(files, csv, stdout, summary);
  print_record(files.front(), csv ? stderr : stdout);
  if (summary && std::fclose(summary) != 0) {
    std::fprintf(stderr, "mdq-dump: writing %s failed: %s\n", summaryFile.c_str(), std::strerror(errno));
    return 2;
  }
  return rc;
}
