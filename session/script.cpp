#include "script.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <utility>

#include "mdq_ui.h"
#include "platform.h"
#include "live_histograms.h"
#include "run_state.h"
#include "board.h"

namespace {

std::mutex g_hookMutex;
std::function<bool(const std::string&)> g_screenshot;
std::atomic<double> g_pressTimeout{600.0};
std::atomic<bool> g_quitAtEnd{false};

using Clock = std::chrono::steady_clock;

std::string trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// Waits until the event with sequence number seq has been handled.
bool wait_handled(std::uint64_t seq, const char* name) {
  auto deadline = Clock::now() + std::chrono::duration<double>(g_pressTimeout.load());
  while (EventsCompleted() < seq) {
    if (Clock::now() > deadline) {
      con_printf("script: %s was not handled within %.0f s -- the station is stuck, giving up.\n",
                 name, g_pressTimeout.load());
      std::fflush(stdout);
      std::_Exit(4);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Waits at most `limit` for no run and no board read-out to be going.
bool wait_idle(std::chrono::duration<double> limit) {
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(limit);
  while (run_state().active() || board_readout_active()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool parse_number(const std::string& text, double* v) {
  char* end = nullptr;
  *v = std::strtod(text.c_str(), &end);
  return end && end != text.c_str() && trim(end).empty();
}

}  // namespace

void ScriptRunner::set_screenshot_hook(std::function<bool(const std::string&)> hook) {
  std::lock_guard lk(g_hookMutex);
  g_screenshot = std::move(hook);
}
void ScriptRunner::set_press_timeout(double seconds) { g_pressTimeout = seconds; }
void ScriptRunner::set_quit_at_end(bool on) { g_quitAtEnd = on; }

void ScriptRunner::start(const std::string& path) {
  thread_ = std::thread([this, path] { run(path); });
}

void ScriptRunner::join() {
  if (thread_.joinable()) thread_.join();
}

void ScriptRunner::run(std::string path) {
  std::ifstream in(path);
  bool quit = false;
  if (!in) {
    con_printf("script: cannot open %s\n", path.c_str());
    failed_ = true;
  } else {
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
      ++lineNo;
      std::string t = trim(line);
      if (t.empty() || t[0] == '#') continue;
      if (t == "quit") {
        quit = true;
        break;
      }
      if (!step(t, lineNo)) {
        failed_ = true;
        con_printf("script: stopped at %s line %d\n", path.c_str(), lineNo);
        break;
      }
    }
  }
  if (!quit && !g_quitAtEnd.load()) return;
  // A run or read-out still going would make the loop ignore the quit: stop it first.
  if (run_state().active()) {
    SetCtrlVal(p1h, P1_RUN, 0);
    wait_handled(PostControlEvent(p1h, P1_RUN), "P1_RUN");
  }
  if (board_readout_active()) {
    board_request_stop();
    (void)wait_idle(std::chrono::seconds(60));  // the station's own quit guard says if it did not end
  }
  PostControlEvent(p1h, P1_QUIT);
}

namespace {

// One script line: the command, the rest of the line, its number.
struct ScriptLine {
  std::string cmd;
  std::string rest;
  int lineNo = 0;

  const CtrlInfo* control(const std::string& name) const {
    const CtrlInfo* c = mdq_ui_find(name.c_str());
    if (!c) con_printf("script line %d: unknown control \"%s\"\n", lineNo, name.c_str());
    return c;
  }
  // The control the first word of the rest names; what follows it into `value`.
  const CtrlInfo* first_control(std::string* value) const {
    auto sp = rest.find_first_of(" \t");
    *value = sp == std::string::npos ? std::string() : trim(rest.substr(sp));
    return control(rest.substr(0, sp));
  }
};

bool expect_value(const ScriptLine& l, const CtrlInfo* c, bool text, const std::string& value,
                  double num) {
  bool ok;
  std::string have;
  if (text) {
    GetCtrlVal(p1h, c->id, &have);
    ok = have == value;
  } else {
    double d = 0;
    GetCtrlVal(p1h, c->id, &d);
    ok = std::fabs(d - num) <= 1e-6 * std::max(1.0, std::fabs(num));
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", d);
    have = buf;
  }
  if (!ok)
    con_printf("script line %d: expected %s = %s, panel shows %s\n", l.lineNo, c->name,
               value.c_str(), have.c_str());
  return ok;
}

// "set" and "expect".
bool set_or_expect(const ScriptLine& l) {
  std::string value;
  const CtrlInfo* c = l.first_control(&value);
  if (!c) return false;
  const bool text = c->kind == CtrlKind::Text;
  double num = 0;
  if (!text && !parse_number(value, &num)) {
    con_printf("script line %d: \"%s\" is not a number for %s\n", l.lineNo, value.c_str(), c->name);
    return false;
  }
  if (l.cmd == "expect") return expect_value(l, c, text, value, num);
  if (text) SetCtrlVal(p1h, c->id, value.c_str());
  else if (c->kind == CtrlKind::Double) SetCtrlVal(p1h, c->id, num);
  else SetCtrlVal(p1h, c->id, static_cast<int>(std::lround(num)));
  if (c->kind == CtrlKind::Toggle || c->kind == CtrlKind::Ring)
    wait_handled(PostControlEvent(p1h, c->id), c->name);
  return true;
}

bool press_control(const ScriptLine& l) {
  const CtrlInfo* c = l.control(l.rest);
  if (!c) return false;
  if (c->kind == CtrlKind::Immediate) {
    if (CtrlCallbackPtr fn = FindCtrlCallback(c->name)) fn(p1h, c->id, 0, nullptr, 0, 0);
    return true;
  }
  wait_handled(PostControlEvent(p1h, c->id), c->name);
  return true;
}

// What a drag or the wheel does on a graph: a new visible range, then the
// graph's event.
bool zoom_graph(const ScriptLine& l) {
  std::string range;
  const CtrlInfo* c = l.first_control(&range);
  if (!c) return false;
  double lo = 0, hi = 0;
  std::istringstream rs(range);
  std::string a, b;
  rs >> a >> b;
  const bool full = a == "full" && b.empty();
  if (c->kind != CtrlKind::Graph ||
      (!full && (!parse_number(a, &lo) || !parse_number(b, &hi) || !(lo < hi)))) {
    con_printf("script line %d: zoom needs a graph and MIN MAX (MIN < MAX) or \"full\"\n", l.lineNo);
    return false;
  }
  SetAxisScalingMode(p1h, c->id, VAL_XAXIS, full ? VAL_AUTOSCALE : VAL_MANUAL, lo, hi);
  wait_handled(PostControlEvent(p1h, c->id), c->name);
  return true;
}

bool post_control(const ScriptLine& l) {
  const CtrlInfo* c = l.control(l.rest);
  if (!c) return false;
  PostControlEvent(p1h, c->id);
  return true;
}

bool answer_file(const ScriptLine& l) {
  QueueFileSelection(l.rest);
  return true;
}

bool wait_seconds(const ScriptLine& l) {
  double s = 0;
  if (!parse_number(l.rest, &s) || s < 0) {
    con_printf("script line %d: wait needs seconds\n", l.lineNo);
    return false;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(s));
  return true;
}

bool wait_run(const ScriptLine& l) {
  double s = 3600;
  if (!l.rest.empty() && !parse_number(l.rest, &s)) {
    con_printf("script line %d: wait-run takes seconds\n", l.lineNo);
    return false;
  }
  if (wait_idle(std::chrono::duration<double>(s))) return true;
  con_printf("script line %d: the run did not end within %g s\n", l.lineNo, s);
  return false;
}

bool save_screenshot(const ScriptLine& l) {
  std::function<bool(const std::string&)> hook;
  {
    std::lock_guard lk(g_hookMutex);
    hook = g_screenshot;
  }
  if (!hook || !hook(l.rest)) {
    con_printf("script line %d: could not save a screenshot to %s\n", l.lineNo, l.rest.c_str());
    return false;
  }
  std::error_code ec;
  auto abs = std::filesystem::absolute(l.rest, ec);
  con_printf("screenshot: %s\n", ec ? l.rest.c_str() : abs.c_str());
  return true;
}

bool echo_text(const ScriptLine& l) {
  con_printf("%s\n", l.rest.c_str());
  return true;
}

// Resident size of the station, for endurance checks.
bool report_memory(const ScriptLine&) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) {
      con_printf("memory: %s\n", trim(line.substr(6)).c_str());
      return true;
    }
  con_printf("memory: unknown\n");
  return true;
}

using Command = bool (*)(const ScriptLine&);
constexpr std::pair<const char*, Command> kCommands[] = {
    {"set", set_or_expect},
    {"expect", set_or_expect},
    {"press", press_control},
    {"zoom", zoom_graph},
    {"post", post_control},
    {"file", answer_file},
    {"wait", wait_seconds},
    {"wait-run", wait_run},
    {"screenshot", save_screenshot},
    {"echo", echo_text},
    {"memory", report_memory},
};

}  // namespace

bool ScriptRunner::step(const std::string& line, int lineNo) {
  std::istringstream ss(line);
  ScriptLine l;
  l.lineNo = lineNo;
  ss >> l.cmd;
  std::getline(ss, l.rest);
  l.rest = trim(l.rest);
  for (const auto& [name, command] : kCommands)
    if (l.cmd == name) return command(l);
  con_printf("script line %d: unknown command \"%s\"\n", lineNo, l.cmd.c_str());
  return false;
}
