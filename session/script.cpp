#include "script.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "mdq_ui.h"
#include "platform.h"
#include "live_histograms.h"
#include "run_state.h"

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
  // A run still going would make the loop ignore the quit: stop it first.
  if (run_state().active()) {
    SetCtrlVal(p1h, P1_RUN, 0);
    wait_handled(PostControlEvent(p1h, P1_RUN), "P1_RUN");
  }
  PostControlEvent(p1h, P1_QUIT);
}

bool ScriptRunner::step(const std::string& line, int lineNo) {
  std::istringstream ss(line);
  std::string cmd;
  ss >> cmd;
  std::string rest;
  std::getline(ss, rest);
  rest = trim(rest);

  auto control_of = [&](const std::string& name) -> const CtrlInfo* {
    const CtrlInfo* c = mdq_ui_find(name.c_str());
    if (!c) con_printf("script line %d: unknown control \"%s\"\n", lineNo, name.c_str());
    return c;
  };
  auto split_first = [&](std::string* first, std::string* value) {
    auto sp = rest.find_first_of(" \t");
    *first = rest.substr(0, sp);
    *value = sp == std::string::npos ? std::string() : trim(rest.substr(sp));
  };

  if (cmd == "set" || cmd == "expect") {
    std::string name, value;
    split_first(&name, &value);
    const CtrlInfo* c = control_of(name);
    if (!c) return false;
    bool text = c->kind == CtrlKind::Text;
    double num = 0;
    if (!text && !parse_number(value, &num)) {
      con_printf("script line %d: \"%s\" is not a number for %s\n", lineNo, value.c_str(), c->name);
      return false;
    }
    if (cmd == "expect") {
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
        con_printf("script line %d: expected %s = %s, panel shows %s\n", lineNo, c->name,
                   value.c_str(), have.c_str());
      return ok;
    }
    if (text) SetCtrlVal(p1h, c->id, value.c_str());
    else if (c->kind == CtrlKind::Double) SetCtrlVal(p1h, c->id, num);
    else SetCtrlVal(p1h, c->id, static_cast<int>(std::lround(num)));
    if (c->kind == CtrlKind::Toggle || c->kind == CtrlKind::Ring)
      wait_handled(PostControlEvent(p1h, c->id), c->name);
    return true;
  }
  if (cmd == "press") {
    const CtrlInfo* c = control_of(rest);
    if (!c) return false;
    if (c->kind == CtrlKind::Immediate) {
      if (CtrlCallbackPtr fn = FindCtrlCallback(c->name)) fn(p1h, c->id, 0, nullptr, 0, 0);
      return true;
    }
    wait_handled(PostControlEvent(p1h, c->id), c->name);
    return true;
  }
  if (cmd == "zoom") {
    // What a drag or the wheel does on a graph: a new visible range, then
    // the graph's event.
    std::string name, range;
    split_first(&name, &range);
    const CtrlInfo* c = control_of(name);
    if (!c) return false;
    double lo = 0, hi = 0;
    std::istringstream rs(range);
    std::string a, b;
    rs >> a >> b;
    const bool full = a == "full" && b.empty();
    if (c->kind != CtrlKind::Graph ||
        (!full && (!parse_number(a, &lo) || !parse_number(b, &hi) || !(lo < hi)))) {
      con_printf("script line %d: zoom needs a graph and MIN MAX (MIN < MAX) or \"full\"\n", lineNo);
      return false;
    }
    SetAxisScalingMode(p1h, c->id, VAL_XAXIS, full ? VAL_AUTOSCALE : VAL_MANUAL, lo, hi);
    wait_handled(PostControlEvent(p1h, c->id), c->name);
    return true;
  }
  if (cmd == "post") {
    const CtrlInfo* c = control_of(rest);
    if (!c) return false;
    PostControlEvent(p1h, c->id);
    return true;
  }
  if (cmd == "file") {
    QueueFileSelection(rest);
    return true;
  }
  if (cmd == "wait") {
    double s = 0;
    if (!parse_number(rest, &s) || s < 0) {
      con_printf("script line %d: wait needs seconds\n", lineNo);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
    return true;
  }
  if (cmd == "wait-run") {
    double s = 3600;
    if (!rest.empty() && !parse_number(rest, &s)) {
      con_printf("script line %d: wait-run takes seconds\n", lineNo);
      return false;
    }
    auto deadline = Clock::now() + std::chrono::duration<double>(s);
    while (run_state().active()) {
      if (Clock::now() > deadline) {
        con_printf("script line %d: the run did not end within %g s\n", lineNo, s);
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  if (cmd == "screenshot") {
    std::function<bool(const std::string&)> hook;
    {
      std::lock_guard lk(g_hookMutex);
      hook = g_screenshot;
    }
    if (!hook || !hook(rest)) {
      con_printf("script line %d: could not save a screenshot to %s\n", lineNo, rest.c_str());
      return false;
    }
    std::error_code ec;
    auto abs = std::filesystem::absolute(rest, ec);
    con_printf("screenshot: %s\n", ec ? rest.c_str() : abs.c_str());
    return true;
  }
  if (cmd == "echo") {
    con_printf("%s\n", rest.c_str());
    return true;
  }
  if (cmd == "memory") {
    // Resident size of the station, for endurance checks.
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
  con_printf("script line %d: unknown command \"%s\"\n", lineNo, cmd.c_str());
  return false;
}
