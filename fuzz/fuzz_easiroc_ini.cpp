// The board configuration loader on arbitrary file contents.
//
// Besides the sanitizers, every load is checked against a small model of
// the accepted format: unsigned decimal values up to 4294967295 separated by
// white space, "#" comments to the end of the line, anything else refuses the
// whole file. A refused file must leave the table as it was; an accepted one
// fills the first values (at most 34) and leaves the rest alone.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "easiroc.h"

namespace {

std::string g_path;

void fail(const char* what) {
  std::fprintf(stderr, "fuzz_easiroc_ini: %s\n", what);
  std::abort();
}

bool is_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Returns false when the file must be refused; else the values in order.
bool model(const std::uint8_t* d, std::size_t n, unsigned* values, int* count) {
  *count = 0;
  std::size_t i = 0;
  while (i < n) {
    unsigned char c = d[i];
    if (is_space(c)) {
      ++i;
    } else if (c == '#') {
      while (i < n && d[i] != '\n') ++i;
    } else if (c >= '0' && c <= '9') {
      std::uint64_t v = 0;
      bool big = false;
      while (i < n && d[i] >= '0' && d[i] <= '9') {
        v = v * 10 + (d[i] - '0');
        if (v > 0xFFFFFFFFull) big = true, v = 0x100000000ull;
        ++i;
      }
      if (big) return false;
      if (i < n && !is_space(d[i]) && d[i] != '#') return false;
      if (*count < EASIROC_INI_VALUES) values[*count] = static_cast<unsigned>(v);
      ++*count;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/mdq-fuzz-ini-XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd < 0) fail("cannot create a temporary file");
  close(fd);
  g_path = tmpl;
  std::atexit([] { unlink(g_path.c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int fd = open(g_path.c_str(), O_WRONLY | O_TRUNC);
  if (fd < 0) fail("cannot rewrite the temporary file");
  if (size && write(fd, data, size) != static_cast<ssize_t>(size)) fail("short write");
  close(fd);

  unsigned before[EASIROC_INI_VALUES];
  for (int k = 0; k < EASIROC_INI_VALUES; ++k) easiroc::board().config.iniData[k] = before[k] = 0xA5A50000u + k;

  const int rc = easiroc_LoadIni(g_path.c_str());

  unsigned want[EASIROC_INI_VALUES];
  int count = 0;
  const bool accept = model(data, size, want, &count);
  if (rc != 0 && rc != 1) fail("result neither 0 nor 1");
  if (accept != (rc == 1)) fail(accept ? "a well-formed file was refused" : "a malformed file was loaded");
  const int filled = accept ? (count < EASIROC_INI_VALUES ? count : EASIROC_INI_VALUES) : 0;
  for (int k = 0; k < EASIROC_INI_VALUES; ++k) {
    const unsigned expect = k < filled ? want[k] : before[k];
    if (easiroc::board().config.iniData[k] != expect) fail("table differs from the file's values");
  }
  return 0;
}
