// mdq-dump: prints a run file series as a readable summary, optionally the
// events and a per-position summary as CSV; repairs a file cut short by a
// crash into a new copy.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "dump.h"
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

}  // namespace

int main(int argc, char** argv) {
  CLI::App cli{"mdq-dump - read mdq run data files"};
  std::vector<std::string> files;
  bool csv = false;
  std::string repairFile, output, summaryFile;
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
  CLI11_PARSE(cli, argc, argv);
  if (!repairFile.empty()) return repair(repairFile, output);
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
  if (summary && std::fclose(summary) != 0) {
    std::fprintf(stderr, "mdq-dump: writing %s failed: %s\n", summaryFile.c_str(), std::strerror(errno));
    return 2;
  }
  return rc;
}
