#include "platform.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "backend.h"

namespace mdq::platform {
namespace {

Backend* g_backend = nullptr;

// ---- value cache ----
struct Slot {
  CtrlValue v;
  double min = -1e300;
  double max = 1e300;
};
std::mutex g_valMutex;
std::map<int, Slot> g_values;

// ---- events ----
struct Ev {
  int event, panel, control;
};
std::mutex g_evMutex;
std::condition_variable g_evCv;
std::deque<Ev> g_events;
std::atomic<std::uint64_t> g_posted{0};
std::atomic<std::uint64_t> g_handedOut{0};
std::atomic<std::uint64_t> g_completed{0};

// ---- file selections queued by scripts ----
std::mutex g_fileMutex;
std::deque<std::string> g_fileAnswers;

// ---- console ----
std::mutex g_conMutex;
int g_captureDepth = 0;
std::string g_captured;

// ---- plots without a backend ----
std::atomic<int> g_nextPlot{1};
struct AxisRange {
  int mode = 1;  // VAL_AUTOSCALE
  double min = 0, max = 0;
};
std::mutex g_axisMutex;
std::map<int, AxisRange> g_axes;

std::atomic<DelayHook> g_delayHook{nullptr};

// ---- random ----
std::mutex g_rndMutex;
std::mt19937_64 g_rng{1};

// ---- thread pool ----
struct PoolFn {
  std::thread thread;
  std::atomic<bool> done{false};
};
struct Pool {
  int maxThreads = 1;
  int nextId = 1;
  std::map<int, std::unique_ptr<PoolFn>> fns;
};
std::mutex g_poolMutex;
std::condition_variable g_poolCv;
std::map<int, Pool> g_pools;
int g_nextPool = 1;

std::map<std::string, CtrlCallbackPtr>& callbacks() {
  static std::map<std::string, CtrlCallbackPtr> m;
  return m;
}

double clampTo(const Slot& s, double v) { return v < s.min ? s.min : (v > s.max ? s.max : v); }

int setNumber(int control, double value) {
  {
    std::lock_guard lk(g_valMutex);
    Slot& s = g_values[control];
    s.v.isText = false;
    s.v.num = clampTo(s, value);
  }
  if (g_backend) g_backend->valueChanged(control);
  return 0;
}

template <class T>
int getNumber(int control, T* out) {
  std::lock_guard lk(g_valMutex);
  auto it = g_values.find(control);
  if (it == g_values.end()) {
    *out = T{};
    return -1;
  }
  *out = static_cast<T>(it->second.v.num);
  return 0;
}

std::uint64_t postEvent(int event, int panel, int control) {
  std::uint64_t seq;
  {
    std::lock_guard lk(g_evMutex);
    g_events.push_back({event, panel, control});
    seq = g_posted.fetch_add(1) + 1;
  }
  g_evCv.notify_all();
  if (g_backend) g_backend->wake();
  return seq;
}

}  // namespace

void set_backend(Backend* b) {
  std::lock_guard lk(g_poolMutex);  // ordered after a finishing pool function's wake
  g_backend = b;
}
Backend* backend() { return g_backend; }

void define_control(int control, bool isText, double min, double max, double value,
                    const std::string& text) {
  std::lock_guard lk(g_valMutex);
  Slot& s = g_values[control];
  s.min = min;
  s.max = max;
  s.v.isText = isText;
  s.v.num = clampTo(s, value);
  s.v.text = text;
}

CtrlValue get_value(int control) {
  std::lock_guard lk(g_valMutex);
  auto it = g_values.find(control);
  return it == g_values.end() ? CtrlValue{} : it->second.v;
}

bool control_defined(int control) {
  std::lock_guard lk(g_valMutex);
  return g_values.count(control) != 0;
}

void set_value_from_panel(int control, double value) {
  std::lock_guard lk(g_valMutex);
  Slot& s = g_values[control];
  s.v.num = clampTo(s, value);
}

void set_value_from_panel(int control, const std::string& text) {
  std::lock_guard lk(g_valMutex);
  Slot& s = g_values[control];
  s.v.isText = true;
  s.v.text = text;
}

void set_delay_hook(DelayHook hook) { g_delayHook.store(hook); }

ConsoleCapture::ConsoleCapture() {
  std::lock_guard lk(g_conMutex);
  if (g_captureDepth++ == 0) g_captured.clear();
}
ConsoleCapture::~ConsoleCapture() {
  std::lock_guard lk(g_conMutex);
  --g_captureDepth;
}
std::string ConsoleCapture::text() const {
  std::lock_guard lk(g_conMutex);
  return g_captured;
}
void ConsoleCapture::clear() {
  std::lock_guard lk(g_conMutex);
  g_captured.clear();
}

void reset_for_tests() {
  {
    std::lock_guard lk(g_valMutex);
    g_values.clear();
  }
  {
    std::lock_guard lk(g_evMutex);
    g_posted.fetch_sub(g_events.size());
    g_events.clear();
  }
  {
    std::lock_guard lk(g_fileMutex);
    g_fileAnswers.clear();
  }
  g_handedOut = g_posted.load();
  g_completed = g_posted.load();
  g_delayHook = nullptr;
  {
    std::lock_guard lk(g_axisMutex);
    g_axes.clear();
  }
}

}  // namespace mdq::platform

using namespace mdq::platform;

// ---- panel ----------------------------------------------------------------

int LoadPanel(int /*parent*/, const char* file, int panelResource) {
  if (panelResource != 1) return -1;
  if (g_backend) {
    int rc = g_backend->loadPanel(file ? file : "");
    if (rc < 0) return rc;
  }
  return 1;
}

int DisplayPanel(int panel) {
  if (panel <= 0) return -1;
  if (g_backend) g_backend->displayPanel();
  return 0;
}

int DiscardPanel(int panel) {
  if (panel <= 0) return -1;
  if (g_backend) g_backend->discardPanel();
  return 0;
}

int GetCtrlVal(int, int control, int* value) { return getNumber(control, value); }
int GetCtrlVal(int, int control, unsigned* value) {
  // Unsigned reads of a signed control keep the bit pattern, as an int
  // variable read through an unsigned pointer would.
  int tmp = 0;
  int rc = getNumber(control, &tmp);
  {
    std::lock_guard lk(g_valMutex);
    auto it = g_values.find(control);
    if (it != g_values.end() && it->second.v.num >= 2147483648.0)
      tmp = static_cast<int>(static_cast<unsigned>(it->second.v.num));
  }
  *value = static_cast<unsigned>(tmp);
  return rc;
}
int GetCtrlVal(int, int control, float* value) { return getNumber(control, value); }
int GetCtrlVal(int, int control, double* value) { return getNumber(control, value); }

int GetCtrlVal(int, int control, char* text, std::size_t size) {
  if (!text || size == 0) return -1;
  std::lock_guard lk(g_valMutex);
  auto it = g_values.find(control);
  if (it == g_values.end()) {
    text[0] = '\0';
    return -1;
  }
  const std::string& s = it->second.v.text;
  std::size_t n = std::min(s.size(), size - 1);
  std::memcpy(text, s.data(), n);
  text[n] = '\0';
  return 0;
}

int GetCtrlVal(int, int control, std::string* text) {
  std::lock_guard lk(g_valMutex);
  auto it = g_values.find(control);
  if (it == g_values.end()) {
    text->clear();
    return -1;
  }
  *text = it->second.v.text;
  return 0;
}

int SetCtrlVal(int, int control, int value) { return setNumber(control, value); }
int SetCtrlVal(int, int control, unsigned value) { return setNumber(control, value); }
int SetCtrlVal(int, int control, double value) { return setNumber(control, value); }
int SetCtrlVal(int, int control, const char* text) {
  {
    std::lock_guard lk(g_valMutex);
    Slot& s = g_values[control];
    s.v.isText = true;
    s.v.text = text ? text : "";
  }
  if (g_backend) g_backend->valueChanged(control);
  return 0;
}

int SetCtrlAttribute(int, int control, int attribute, int value) {
  bool changed = false;
  if (attribute == ATTR_MAX_VALUE || attribute == ATTR_MIN_VALUE) {
    std::lock_guard lk(g_valMutex);
    Slot& s = g_values[control];
    (attribute == ATTR_MAX_VALUE ? s.max : s.min) = value;
    double c = clampTo(s, s.v.num);
    changed = c != s.v.num;
    s.v.num = c;
  }
  if (g_backend) {
    g_backend->setAttribute(control, attribute, value);
    if (changed) g_backend->valueChanged(control);
  }
  return 0;
}

int GetCtrlAttribute(int, int control, int attribute, int* value) {
  std::lock_guard lk(g_valMutex);
  auto it = g_values.find(control);
  if (it == g_values.end()) return -1;
  if (attribute == ATTR_MAX_VALUE) *value = static_cast<int>(std::min(it->second.max, 2147483647.0));
  else if (attribute == ATTR_MIN_VALUE) *value = static_cast<int>(std::max(it->second.min, -2147483648.0));
  else return -1;
  return 0;
}

// ---- events ---------------------------------------------------------------

int GetUserEvent(int wait, int* panel, int* control) {
  // Coming back for an event means the previous one has been handled.
  g_completed.store(g_handedOut.load());
  for (;;) {
    {
      std::unique_lock lk(g_evMutex);
      if (!g_events.empty()) {
        Ev e = g_events.front();
        g_events.pop_front();
        if (panel) *panel = e.panel;
        if (control) *control = e.control;
        g_handedOut.fetch_add(1);
        return e.event;
      }
      if (!wait) return 0;
      if (!g_backend) {
        g_evCv.wait_for(lk, std::chrono::milliseconds(100));
        continue;
      }
    }
    g_backend->processEvents(100);
  }
}

int QueueUserEvent(int event, int panel, int control) {
  postEvent(event, panel, control);
  return 0;
}

std::uint64_t PostControlEvent(int panel, int control) {
  return postEvent(EVENT_COMMIT, panel, control);
}

std::uint64_t EventsCompleted() { return g_completed.load(); }
std::uint64_t EventsPosted() { return g_posted.load(); }

// ---- graphs ---------------------------------------------------------------

int PlotY(int, int graph, const void* array, std::size_t n, int type, int, int, int, int,
          int color) {
  if (type != VAL_INTEGER || (!array && n)) return -1;
  if (g_backend)
    return g_backend->plot(graph, {static_cast<const std::int32_t*>(array), n}, color);
  return g_nextPlot.fetch_add(1);
}

int PlotYVector(int, int graph, std::vector<std::int32_t>& bins, int color) {
  if (g_backend) return g_backend->plotVector(graph, bins, color);
  return g_nextPlot.fetch_add(1);
}

int DeleteGraphPlot(int, int graph, int plot, int) {
  if (plot <= 0) return -1;
  if (g_backend) g_backend->deletePlot(graph, plot);
  return 0;
}

int SaveGraphImage(int, int graph, const char* path) {
  if (!path || !*path || !g_backend) return -1;
  return g_backend->saveGraphImage(graph, path) ? 0 : -1;
}

int SetAxisScalingMode(int, int graph, int axis, int mode, double min, double max) {
  if (axis != VAL_XAXIS) return -1;
  if (mode == VAL_MANUAL && !(min < max)) return -1;
  {
    std::lock_guard lk(g_axisMutex);
    g_axes[graph] = AxisRange{mode, min, max};
  }
  if (g_backend) g_backend->setXRange(graph, mode == VAL_AUTOSCALE, min, max);
  return 0;
}

int GetAxisScalingMode(int, int graph, int axis, int* mode, double* min, double* max) {
  if (axis != VAL_XAXIS) return -1;
  if (g_backend) {
    bool autoscale = true;
    g_backend->xRange(graph, &autoscale, min, max);
    *mode = autoscale ? VAL_AUTOSCALE : VAL_MANUAL;
    return 0;
  }
  std::lock_guard lk(g_axisMutex);
  const AxisRange r = g_axes.count(graph) ? g_axes[graph] : AxisRange{};
  *mode = r.mode;
  *min = r.min;
  *max = r.max;
  return 0;
}

int PlotOverlay(int, int graph, const double* x, const double* y, std::size_t n) {
  if (n && (!x || !y)) return -1;
  if (g_backend) g_backend->setOverlay(graph, {x, n}, {y, n});
  return 0;
}

// ---- dialogs --------------------------------------------------------------

void QueueFileSelection(const std::string& path) {
  std::lock_guard lk(g_fileMutex);
  g_fileAnswers.push_back(path);
}

namespace {
// 1 chosen, 0 cancelled.
int selectFile(const char* dir, const char* pattern, const char* title, bool existingOnly,
               char* path, std::size_t size) {
  std::string chosen;
  bool answered = false;
  {
    std::lock_guard lk(g_fileMutex);
    if (!g_fileAnswers.empty()) {
      chosen = g_fileAnswers.front();
      g_fileAnswers.pop_front();
      answered = true;
    }
  }
  if (!answered) {
    if (!g_backend) return 0;
    if (g_backend->fileDialog(title ? title : "", dir ? dir : "", pattern ? pattern : "",
                              existingOnly, &chosen) <= 0)
      return 0;
  }
  if (chosen.empty() || !path || size == 0) return 0;
  if (chosen.size() >= size) {
    con_printf("File name too long (%zu characters, at most %zu): %s\n", chosen.size(), size - 1,
               chosen.c_str());
    return 0;
  }
  std::memcpy(path, chosen.c_str(), chosen.size() + 1);
  return 1;
}
}  // namespace

int FileSelectPopup(const char* dir, const char* pattern, const char*, const char* title, int, int,
                    int, int, int, char* path, std::size_t size) {
  if (!selectFile(dir, pattern, title, true, path, size)) return 0;
  return access(path, F_OK) == 0 ? 1 : 2;  // 2: a new (non-existing) file
}

int FileSelectPopupEx(const char* dir, const char* pattern, const char*, const char* title, int,
                      int, int, char* path, std::size_t size) {
  return selectFile(dir, pattern, title, false, path, size);
}

// ---- console --------------------------------------------------------------

namespace {
std::chrono::steady_clock::time_point g_lastFlush;

// Bounded: a flood of lines costs a pop per push, never memory.
struct ConsoleHistory {
  std::mutex m;
  std::atomic<std::size_t> capacity{0};
  std::deque<ConsoleLine> lines;
  std::string partial;
  std::uint64_t lastSeq = 0;

  void add(const std::string& text) {
    std::lock_guard lk(m);
    const std::size_t cap = capacity.load();
    if (cap == 0) return;
    std::size_t from = 0;
    for (;;) {
      const std::size_t nl = text.find('\n', from);
      if (nl == std::string::npos) {
        partial.append(text, from, std::string::npos);
        if (partial.size() > 4096) partial.resize(4096);  // a line never ended
        return;
      }
      partial.append(text, from, nl - from);
      if (!partial.empty() && partial.back() == '\r') partial.pop_back();
      lines.push_back(ConsoleLine{++lastSeq, std::move(partial)});
      partial.clear();
      while (lines.size() > cap) lines.pop_front();
      from = nl + 1;
    }
  }
};
ConsoleHistory g_history;
}  // namespace

void con_history_enable(std::size_t n) {
  std::lock_guard lk(g_history.m);
  g_history.capacity.store(n);
  if (n == 0) {
    g_history.lines.clear();
    g_history.partial.clear();
  }
  while (g_history.lines.size() > n) g_history.lines.pop_front();
}

std::vector<ConsoleLine> con_history_since(std::uint64_t since, std::uint64_t* next) {
  std::lock_guard lk(g_history.m);
  std::vector<ConsoleLine> out;
  for (const ConsoleLine& l : g_history.lines)
    if (l.seq > since) out.push_back(l);
  if (next) *next = g_history.lastSeq;
  return out;
}

// Standard output is flushed at most every 50 ms (and by con_flush): a flush
// per line costs a system call per line, and a read-out may print thousands.
void con_write(const std::string& text) {
  {
    std::lock_guard lk(g_conMutex);
    std::fwrite(text.data(), 1, text.size(), stdout);
    const auto now = std::chrono::steady_clock::now();
    if (now - g_lastFlush >= std::chrono::milliseconds(50)) {
      std::fflush(stdout);
      g_lastFlush = now;
    }
    if (g_captureDepth > 0) g_captured += text;
    // Under the console lock: the kept lines are in the order they were printed.
    if (g_history.capacity.load(std::memory_order_relaxed) != 0) g_history.add(text);
  }
  if (g_backend) g_backend->consoleText(text);
}

void con_flush() {
  std::lock_guard lk(g_conMutex);
  std::fflush(stdout);
  g_lastFlush = std::chrono::steady_clock::now();
}

void con_printf(const char* fmt, ...) {
  char small[512];
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  std::string text;
  if (n < 0) {
    va_end(ap2);
    return;
  }
  if (static_cast<std::size_t>(n) < sizeof small) {
    text.assign(small, static_cast<std::size_t>(n));
  } else {
    text.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), fmt, ap2);
    text.resize(static_cast<std::size_t>(n));
  }
  va_end(ap2);
  con_write(text);
}

// ---- files ----------------------------------------------------------------

std::FILE* fopen_new(const char* path) {
  int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    if (std::FILE* f = ::fdopen(fd, "wb")) return f;
    const int e = errno;
    ::close(fd);
    errno = e;
    return nullptr;
  }
  if (errno != EEXIST) return nullptr;
  struct stat st {};
  if (::stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
    return std::fopen(path, "wb");
  errno = EEXIST;
  return nullptr;
}

// ---- time, platform, random -----------------------------------------------

void Delay(double seconds) {
  if (DelayHook h = g_delayHook.load()) {
    h(seconds);
    return;
  }
  if (seconds <= 0) return;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

void CVI_GetSystemTime(int* hours, int* minutes, int* seconds) {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  if (hours) *hours = tm.tm_hour;
  if (minutes) *minutes = tm.tm_min;
  if (seconds) *seconds = tm.tm_sec;
}

int GetCurrentPlatform() { return 0; }
void SetSleepPolicy(int) {}

int Uniform(int n, int seed, double* y) {
  if (n < 0 || (n > 0 && !y)) return -1;
  std::lock_guard lk(g_rndMutex);
  if (seed > 0) g_rng.seed(static_cast<std::uint64_t>(seed));
  else if (seed != -1) return -1;
  for (int i = 0; i < n; ++i)
    y[i] = static_cast<double>(g_rng() >> 11) * (1.0 / 9007199254740991.0);  // [0,1]
  return 0;
}

// ---- thread pool ----------------------------------------------------------

int CmtNewThreadPool(int maxThreads, int* poolHandle) {
  if (maxThreads < 1 || !poolHandle) return -1;
  std::lock_guard lk(g_poolMutex);
  int h = g_nextPool++;
  g_pools[h].maxThreads = maxThreads;
  *poolHandle = h;
  return 0;
}

int CmtScheduleThreadPoolFunction(int poolHandle, ThreadFunctionPtr fn, void* data,
                                  int* functionId) {
  if (!fn) return -1;
  std::lock_guard lk(g_poolMutex);
  auto it = g_pools.find(poolHandle);
  if (it == g_pools.end()) return -1;
  Pool& pool = it->second;
  int running = 0;
  for (auto& [id, f] : pool.fns) running += f->done.load() ? 0 : 1;
  if (running >= pool.maxThreads) return -2;
  int id = pool.nextId++;
  auto f = std::make_unique<PoolFn>();
  PoolFn* raw = f.get();
  f->thread = std::thread([raw, fn, data] {
    fn(data);
    {
      // The wake is under the lock, before `done`: whoever sees this function
      // done may swap or clear the backend.
      std::lock_guard lk2(g_poolMutex);
      if (g_backend) g_backend->wake();
      raw->done.store(true);
    }
    g_poolCv.notify_all();
  });
  pool.fns.emplace(id, std::move(f));
  if (functionId) *functionId = id;
  return 0;
}

int CmtWaitForThreadPoolFunctionCompletion(int poolHandle, int functionId, int options) {
  return CmtWaitForThreadPoolFunctionCompletionFor(poolHandle, functionId, options, -1);
}

int CmtWaitForThreadPoolFunctionCompletionFor(int poolHandle, int functionId, int options,
                                              int timeoutMs) {
  PoolFn* f = nullptr;
  {
    std::lock_guard lk(g_poolMutex);
    auto p = g_pools.find(poolHandle);
    if (p == g_pools.end()) return -1;
    auto it = p->second.fns.find(functionId);
    if (it == p->second.fns.end()) return -1;
    f = it->second.get();
  }
  // Only the GUI thread may pump the panel.
  bool pump = (options & OPT_TP_PROCESS_EVENTS_WHILE_WAITING) && g_backend;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!f->done.load()) {
    if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return 1;
    if (pump) {
      g_backend->processEvents(20);
    } else {
      std::unique_lock lk(g_poolMutex);
      g_poolCv.wait_for(lk, std::chrono::milliseconds(50), [f] { return f->done.load(); });
    }
  }
  return 0;
}

int CmtReleaseThreadPoolFunctionID(int poolHandle, int functionId) {
  std::unique_ptr<PoolFn> f;
  {
    std::lock_guard lk(g_poolMutex);
    auto p = g_pools.find(poolHandle);
    if (p == g_pools.end()) return -1;
    auto it = p->second.fns.find(functionId);
    if (it == p->second.fns.end() || !it->second->done.load()) return -1;
    f = std::move(it->second);
    p->second.fns.erase(it);
  }
  if (f->thread.joinable()) f->thread.join();
  return 0;
}

int CmtDiscardThreadPool(int poolHandle) {
  std::map<int, std::unique_ptr<PoolFn>> fns;
  {
    std::lock_guard lk(g_poolMutex);
    auto p = g_pools.find(poolHandle);
    if (p == g_pools.end()) return -1;
    fns = std::move(p->second.fns);
    g_pools.erase(p);
  }
  for (auto& [id, f] : fns)
    if (f->thread.joinable()) f->thread.join();
  return 0;
}

int CmtRunningThreadPoolFunctions(int poolHandle) {
  std::lock_guard lk(g_poolMutex);
  auto p = g_pools.find(poolHandle);
  if (p == g_pools.end()) return -1;
  int n = 0;
  for (auto& [id, f] : p->second.fns) n += f->done.load() ? 0 : 1;
  return n;
}

// ---- callbacks ------------------------------------------------------------

void RegisterCtrlCallback(const char* name, CtrlCallbackPtr fn) {
  if (name) callbacks()[name] = fn;
}

CtrlCallbackPtr FindCtrlCallback(const char* name) {
  auto it = callbacks().find(name ? name : "");
  return it == callbacks().end() ? nullptr : it->second;
}
