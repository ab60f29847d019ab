#include "run_control.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "backend.h"
#include "coarse_clock.h"
#include "daq_run.h"
#include "dispatch.h"
#include "mdq_main.h"
#include "mdq_ui.h"
#include "monitor_feed.h"
#include "platform.h"
#include "run_state.h"
#include "tdc.h"
#include "board.h"

namespace {
int tfID = 0;

// The panel's side of a run: indicators follow it, the debug switches are
// read at every read-out.
class PanelRunObserver final : public RunObserver {
 public:
  void position(const POSREC& p) override {
    SetCtrlVal(p1h, P1_YSET, p.yset);
    SetCtrlVal(p1h, P1_IY, p.iy);
    SetCtrlVal(p1h, P1_XSET, p.xset);
    SetCtrlVal(p1h, P1_IX, p.ix);
    monitor_feed_position(p);
  }
  // The panel repaints its indicators a few times a second: at a high
  // trigger rate most per-event counts would never be seen, yet each one
  // set costs the run two locks. A position's first event is shown at
  // once, a held-back count when the run next waits for a trigger.
  void event(std::uint32_t nev) override {
    monitor_feed_event(nev);
    const auto now = CoarseClock::now();
    if (nev == 1 || now >= nextCount_) {
      show_count(nev);
      nextCount_ = now + std::chrono::milliseconds(20);
    } else {
      heldCount_ = nev;
    }
  }
  void waiting() override {
    if (heldCount_ != shownCount_) show_count(heldCount_);
  }
  void status(const std::string& text) override {
    SetCtrlVal(p1h, P1_RUN_STATUS, text.c_str());
    monitor_feed_status(text);
  }
  void progress(const RunReport& r) override { monitor_feed_progress(r); }
  void run_number(int number) override {
    char text[16] = "";
    if (number > 0) std::snprintf(text, sizeof text, "%05d", number);
    SetCtrlVal(p1h, P1_RUN_NUMBER, text);
  }
  void debug_switches(bool* term, bool* file) override {
    int t = 0, f = 0;
    GetCtrlVal(p1h, P1_DBG_TDC_TERM, &t);
    GetCtrlVal(p1h, P1_DBG_TDC_FILE, &f);
    *term = t != 0;
    *file = f != 0;
  }
  void finished(const RunReport& report) override {
    SetCtrlVal(p1h, P1_RUN, 0);
    show_count(report.lastNev);
    monitor_feed_finished(report);
  }

 private:
  void show_count(std::uint32_t nev) {
    SetCtrlVal(p1h, P1_EVENT, nev);
    shownCount_ = heldCount_ = nev;
  }
  CoarseClock::time_point nextCount_{};
  std::uint32_t shownCount_ = 0, heldCount_ = 0;
};

PanelRunObserver g_observer;
// The run the worker takes; not touched while a worker is scheduled.
RunJob g_job;

// A switch that is on unless the panel says otherwise (no panel loaded).
bool switch_on_by_default(int control) {
  if (!mdq::platform::control_defined(control)) return true;
  int v = 1;
  GetCtrlVal(p1h, control, &v);
  return v != 0;
}

// A worker that ended its run by itself is still scheduled: collect it.
void reclaim_finished_worker() {
  if (tfID && CmtReleaseThreadPoolFunctionID(poolHandle, tfID) == 0) tfID = 0;
}
}  // namespace

int run_worker_id() { return tfID; }

RunConfig run_config_from_panel() {
  RunConfig c;
  RUNREC& h = c.header;
  GetCtrlVal(p1h, P1_XY, &h.xy);
  GetCtrlVal(p1h, P1_NEV, &h.nev);
  GetCtrlVal(p1h, P1_PED, &h.ped);
  GetCtrlVal(p1h, P1_NX, &h.nx);
  GetCtrlVal(p1h, P1_DX, &h.dx);
  GetCtrlVal(p1h, P1_X0, &h.x0);
  GetCtrlVal(p1h, P1_NY, &h.ny);
  GetCtrlVal(p1h, P1_DY, &h.dy);
  GetCtrlVal(p1h, P1_Y0, &h.y0);
  GetCtrlVal(p1h, P1_STEP_MINUTES, &c.stepMinutes);
  int save = 0;
  GetCtrlVal(p1h, P1_SAVE, &save);
  c.save = save != 0;
  if (c.save) {
    GetCtrlVal(p1h, P1_FILE, &c.base);
    int fmaxMb = 0;
    GetCtrlVal(p1h, P1_FMAX, &fmaxMb);
    c.fmaxBytes = static_cast<std::int64_t>(fmaxMb) * 1000000;
    int overwrite = 0;
    GetCtrlVal(p1h, P1_OVERWRITE, &overwrite);
    c.overwrite = overwrite != 0;
  }
  c.rule.dsave = save;
  GetCtrlVal(p1h, P1_SUPPRESS, &c.rule.supr0);
  if (c.rule.supr0) {
    GetCtrlVal(p1h, P1_TDCMIN, &c.rule.tdcmin);
    GetCtrlVal(p1h, P1_FRAC, &c.rule.frac);
  }
  c.readBoard = switch_on_by_default(P1_READ_BOARD);
  c.lateSkip = switch_on_by_default(P1_LATE_SKIP);
  c.maxBoardFailures = daq_max_board_failures();
  GetCtrlVal(p1h, P1_COMMENT, &c.comment);
  GetCtrlVal(p1h, P1_TDC_WINDOW_WIDTH, &c.tdc.windowWidth);
  GetCtrlVal(p1h, P1_TDC_WINDOW_OFFSET, &c.tdc.windowOffset);
  GetCtrlVal(p1h, P1_TDC_EXTRA_MARGIN, &c.tdc.extraMargin);
  GetCtrlVal(p1h, P1_TDC_EDGE, &c.tdc.edge);
  return c;
}

const RunReport& last_run_report() { return g_job.report; }

RunObserver& panel_run_observer() { return g_observer; }

namespace {
constexpr int kStopNoticeMs = 2000;  // a stop taking longer says what it waits for
constexpr int kStopWaitMaxMs = 30000;

// Waits (the panel live) for the run's worker to return, saying every few
// seconds what the run is doing. False when it is still going after the
// bound: the panel is given back and the run ends by itself.
bool wait_for_run_worker(const char* why) {
  for (int waited = 0; waited < kStopWaitMaxMs; waited += kStopNoticeMs) {
    if (CmtWaitForThreadPoolFunctionCompletionFor(poolHandle, tfID,
                                                  OPT_TP_PROCESS_EVENTS_WHILE_WAITING,
                                                  kStopNoticeMs) != 1) {
      reclaim_finished_worker();
      return true;
    }
    con_printf("%s: waiting for the run to end (%s) ...\n", why, run_state().activity());
  }
  con_printf("The run has not ended after %d s (still %s). The panel goes on; the run ends by "
             "itself, and RUN stays off until it has.\n",
             kStopWaitMaxMs / 1000, run_state().activity());
  return false;
}

void start_run() {
  reclaim_finished_worker();
  // The board's connection has one reader at a time.
  if (board_readout_active()) {
    con_printf("Run not started: the board read-out is running -- press Stop read-out first.\n");
    SetCtrlVal(p1h, P1_RUN, 0);
    return;
  }
  // The last run is ending by itself (closing its file): wait, then start.
  if (tfID && !run_state().keep_going() && !wait_for_run_worker("Run start")) {
    SetCtrlVal(p1h, P1_RUN, 0);
    return;
  }
  if (tfID || !run_state().request_start()) {
    con_printf("A run is already active.\n");
    SetCtrlVal(p1h, P1_RUN, run_state().keep_going() ? 1 : 0);  // the toggle shows whether a run is on
    return;
  }
  g_job = RunJob{run_config_from_panel(), &g_observer, {}};
  monitor_feed_run_started(g_job.config);
  if (CmtScheduleThreadPoolFunction(poolHandle, daq_run, &g_job, &tfID) != 0) {
    tfID = 0;
    run_state().finished(RunEnd::NotStarted, "no worker thread available");
    SetCtrlVal(p1h, P1_RUN, 0);
    con_printf("The run could not be started (no worker thread available).\n");
    RunReport refused;
    refused.end = RunEnd::NotStarted;
    refused.reason = "no worker thread available";
    monitor_feed_finished(refused);
  }
}

void stop_run() {
  (void)run_state().request_stop();
  if (tfID && !wait_for_run_worker("Run stop")) return;
  // Idle with the veto released, as the crate was before the run.
  if (veto_write(false) != 0)
    con_printf("The veto could not be released after the run (PIO write failed) -- check the "
               "crate.\n");
}
}  // namespace

void run_toggle(int) {
  int on = 0;
  GetCtrlVal(p1h, P1_RUN, &on);
  if (on)
    start_run();
  else
    stop_run();
}

void run_install_handlers() { session_set_handler(P1_RUN, run_toggle); }
