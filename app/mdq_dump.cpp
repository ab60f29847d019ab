// mdq-dump: prints a run file series as a readable summary, optionally the
// events as CSV.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "dump.h"

int main(int argc, char** argv) {
  CLI::App cli{"mdq-dump - read mdq run data files"};
  std::vector<std::string> files;
  bool csv = false;
  cli.add_option("files", files, "run files (name_file01.dat ...), in order")->required();
  cli.add_flag("--csv", csv, "print every event as a CSV row");
  CLI11_PARSE(cli, argc, argv);
  return dump_run_files(files, csv, stdout);
}
