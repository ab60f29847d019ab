// Human-readable summary of a run file series (and the events as CSV).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Returns 0 when every file read back whole and complete, 1 otherwise.
int dump_run_files(const std::vector<std::string>& files, bool csv, std::FILE* out);
