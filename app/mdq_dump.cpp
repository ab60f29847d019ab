// mdq-dump: prints a run file series as a readable summary, optionally the
// events as CSV; repairs a file cut short by a crash into a new copy.
#include <CLI/CLI.hpp>
#include <cstdio>

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
  std::string repairFile, output;
  cli.add_option("files", files, "run files (name_file01.dat ...), in order");
  cli.add_flag("--csv", csv, "print every event as a CSV row");
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
  return dump_run_files(files, csv, stdout);
}
