// What watching a run costs: whole runs against the simulated stand
// (unthrottled triggers, saving on), with the monitor serving and five
// clients each polling what the page polls once a second, against the same
// runs with nobody polling, in the same process and interleaved so the
// machine's drift hits both alike. A third leg has the monitor off.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "http_client.h"
#include "mdq_main.h"
#include "monitor_server.h"
#include "run_control.h"
#include "run_stand.h"
#include "station_snapshot.h"
#include "run_state.h"

namespace {

runbench::Stand* g_stand = nullptr;

double timed_run(std::uint32_t nev) {
  g_stand->set_run_controls(nev);
  const auto t0 = runbench::Clock::now();
  SetCtrlVal(p1h, P1_RUN, 1);
  run_toggle(P1_RUN);
  for (int i = 0; i < 600000 && run_state().active(); ++i)  // 10 minutes at most
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const double s = runbench::seconds_since(t0);
  SetCtrlVal(p1h, P1_RUN, 0);
  run_toggle(P1_RUN);  // collects the worker
  (void)g_stand->take_run_files();
  return s;
}

// Polls the page's requests once a second until stopped.
class Poller {
 public:
  explicit Poller(int port) : thread_([this, port] {
    const char* targets[] = {"/api/status", "/api/spectrum?kind=tdc&channel=0&columns=560",
                             "/api/spectrum?kind=adc&channel=0&columns=560",
                             "/api/console?since=0", "/api/map?channel=0"};
    for (int round = 0; round < 3600 && !stop_; ++round) {
      for (const char* t : targets)
        if (mdq::test::http_get(port, t).status == 200) ++ok_;
      std::unique_lock lk(m_);
      cv_.wait_for(lk, std::chrono::seconds(1), [this] { return stop_.load(); });
    }
  }) {}
  ~Poller() {
    {
      std::lock_guard lk(m_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  int ok() const { return ok_.load(); }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::atomic<bool> stop_{false};
  std::atomic<int> ok_{0};
  std::thread thread_;  // last: it uses the members above
};

void BM_WatchedRun(benchmark::State& state) {
  const auto nev = static_cast<std::uint32_t>(state.range(0));
  std::vector<double> off, quiet, polled;
  double serverCpu = 0, polledTime = 0;
  int answers = 0;
  for (auto _ : state) {
    snapshot_feed_enable(false);
    off.push_back(nev / timed_run(nev));

    MonitorServer server;
    std::string why;
    snapshot_feed_enable(true);
    con_history_enable(200);
    if (!server.start(MonitorConfig{}, &why)) {
      state.SkipWithError(why.c_str());
      return;
    }
    quiet.push_back(nev / timed_run(nev));
    {
      std::vector<std::unique_ptr<Poller>> clients;
      for (int c = 0; c < 5; ++c) clients.push_back(std::make_unique<Poller>(server.port()));
      const double cpu0 = server.cpu_seconds();
      const double t = timed_run(nev);
      serverCpu += server.cpu_seconds() - cpu0;
      polledTime += t;
      polled.push_back(nev / t);
      for (auto& c : clients) answers += c->ok();
    }
    server.stop();
    con_history_enable(0);
    snapshot_feed_enable(false);
  }
  const double q = runbench::median(quiet), p = runbench::median(polled);
  state.counters["ev_per_s_monitor_off"] = runbench::median(off);
  state.counters["ev_per_s_nobody_polling"] = q;
  state.counters["ev_per_s_five_polling"] = p;
  state.counters["cost_pct"] = 100.0 * (q - p) / q;
  state.counters["server_cpu_pct_of_run"] = 100.0 * serverCpu / polledTime;
  state.counters["answers"] = answers;
}
BENCHMARK(BM_WatchedRun)->Arg(20000)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return runbench::run_benchmarks(argc, argv, g_stand, 4); }
