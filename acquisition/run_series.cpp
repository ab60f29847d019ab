#include "run_series.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <system_error>

#include "platform.h"

namespace fs = std::filesystem;

namespace run_series {
namespace {

struct Split {
  std::string dir;   // as given, empty for the working directory
  std::string name;  // what follows the last '/'
};

Split split(const std::string& base) {
  auto slash = base.rfind('/');
  if (slash == std::string::npos) return {"", base};
  return {base.substr(0, slash + 1), base.substr(slash + 1)};
}

fs::path folder(const Split& s) { return s.dir.empty() ? fs::path(".") : fs::path(s.dir); }

// What may follow a series' base name: the writer's "_file%02d.dat" and
// the run record.
const char* const kSeriesTail = R"((_file[0-9]{2,}\.dat|_run\.json))";

std::string regex_escape(const std::string& s) {
  static const std::string special = R"(\^$.|?*+()[]{})";
  std::string out;
  for (char c : s) {
    if (special.find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

std::vector<std::string> existing(const std::string& base) {
  const Split s = split(base);
  const std::regex series(regex_escape(s.name) + kSeriesTail);
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::directory_iterator it(folder(s), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() > s.name.size() && name.compare(0, s.name.size(), s.name) == 0 &&
        std::regex_match(name, series))
      out.push_back(s.dir + name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

bool remove(const std::string& base, std::string* why) {
  for (const std::string& f : existing(base)) {
    std::error_code ec;
    if (!fs::remove(f, ec) && ec) {
      if (why) *why = f + ": " + ec.message();
      return false;
    }
  }
  return true;
}

bool has_placeholder(const std::string& base) { return base.find(kPlaceholder) != std::string::npos; }

std::string expand(const std::string& pattern, int run) {
  char number[16];
  std::snprintf(number, sizeof number, "%05d", run);
  std::string out = pattern;
  const std::string ph = kPlaceholder;
  for (auto p = out.find(ph); p != std::string::npos; p = out.find(ph, p + std::strlen(number)))
    out.replace(p, ph.size(), number);
  return out;
}

int next_number(const std::string& pattern, std::string* why) {
  const Split s = split(pattern);
  if (has_placeholder(s.dir)) {
    if (why) *why = std::string(kPlaceholder) + " can only stand in the file name, not in its folder";
    return -1;
  }
  if (!has_placeholder(s.name)) {
    if (why) *why = "the name holds no " + std::string(kPlaceholder);
    return -1;
  }
  // Every {run} of one name carries the same number.
  std::string re;
  const std::string ph = kPlaceholder;
  bool first = true;
  std::size_t at = 0;
  for (auto p = s.name.find(ph); p != std::string::npos; p = s.name.find(ph, at)) {
    re += regex_escape(s.name.substr(at, p - at));
    re += first ? "([0-9]{5,9})" : "\\1";
    first = false;
    at = p + ph.size();
  }
  re += regex_escape(s.name.substr(at)) + kSeriesTail;
  const std::regex series(re);

  std::error_code ec;
  fs::directory_iterator it(folder(s), ec);
  if (ec) {
    // A folder that is not there yet holds no run.
    if (ec == std::errc::no_such_file_or_directory) return 1;
    if (why) *why = folder(s).string() + ": " + ec.message();
    return -1;
  }
  long highest = 0;
  std::smatch m;
  for (fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (std::regex_match(name, m, series)) highest = std::max(highest, std::stol(m[1].str()));
  }
  if (ec) {
    if (why) *why = folder(s).string() + ": " + ec.message();
    return -1;
  }
  if (highest >= 999999999) {
    if (why) *why = "run numbers are used up in " + folder(s).string();
    return -1;
  }
  return static_cast<int>(highest + 1);
}

}  // namespace run_series

std::string run_number_note(int number) {
  if (number <= 0) return {};
  char text[48];
  std::snprintf(text, sizeof text, " Run number %05d.", number);
  return text;
}

RunSeriesStart run_series_start(const std::string& pattern, bool overwrite) {
  RunSeriesStart r;
  r.base = pattern;
  if (run_series::has_placeholder(pattern)) {
    std::string why;
    r.number = run_series::next_number(pattern, &why);
    if (r.number < 0) {
      r.number = 0;
      r.refusal = "no run number for " + pattern + " (" + why + ")";
      return r;
    }
    r.base = run_series::expand(pattern, r.number);
    con_printf("Run number %05d: files %s_file01.dat ...\n", r.number, r.base.c_str());
  }
  const std::vector<std::string> old = run_series::existing(r.base);
  if (!old.empty()) {
    if (!overwrite) {
      r.refusal = old.front() + " exists -- tick \"Overwrite existing run\" to replace that run, "
                  "or change the file name (a {run} in it numbers the runs)";
      return r;
    }
    std::string why;
    if (!run_series::remove(r.base, &why)) {
      r.refusal = "the old run could not be removed: " + why;
      return r;
    }
    std::string names;
    for (std::size_t i = 0; i < old.size() && i < 4; ++i) names += (i ? ", " : "") + old[i];
    if (old.size() > 4) names += ", ...";
    con_printf("Overwrite existing run: %zu old file(s) removed (%s).\n", old.size(), names.c_str());
  }
  r.ok = true;
  return r;
}
