#include "daq_run.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "decode.h"
#include "easiroc.h"
#include "mdq_ui.h"
#include "platform.h"
#include "run_map.h"  // scan map
#include "runfile.h"
#include "spectra.h"
#include "wienvme_dll.h"

namespace {

constexpr unsigned long kTdcSoftClear = 0x44441016;
constexpr unsigned long kTdcStatus = 0x44441002;
constexpr unsigned long kTdcEventsStored = 0x44441020;
constexpr unsigned long kTdcEventCounter = 0x4444101C;
constexpr unsigned long kTdcOutputBuffer = 0x44440000;
constexpr unsigned long kPioOutput = 0x81B842;

std::atomic<RunClock> g_clock{nullptr};
std::atomic<std::int64_t> g_minFreeBytes{kDefaultMinFreeBytes};
std::atomic<int> g_maxBoardFailures{kDefaultMaxBoardFailures};
std::atomic<FreeSpaceProbe> g_freeProbe{nullptr};

std::int64_t free_space(const std::string& file) {
  if (FreeSpaceProbe p = g_freeProbe.load()) return p(file);
  return free_bytes_for(file);
}

// True when `free` bytes where the run file goes is below the margin (after a
// console line saying so).
bool disk_too_full(std::int64_t free, const std::string& file, const char* when) {
  const std::int64_t margin = g_minFreeBytes.load();
  if (margin <= 0 || free < 0 || free >= margin) return false;
  con_printf("%s: only %.1f MB free for %s (the station keeps at least %.0f MB free).\n", when,
             free / 1e6, file.c_str(), margin / 1e6);
  return true;
}

std::uint32_t now_s() {
  if (RunClock c = g_clock.load()) return c();
  return static_cast<std::uint32_t>(std::time(nullptr));
}

void pio_write(std::uint16_t value) {
  WIENVME_write16(hHandle24, 1, kPioOutput, &value);
}

// Drains the TDC output buffer for one trigger. Returns false when the
// module broke its own framing (no trailer within the word bound).
bool tdc_readout(EventTable& ev, std::uint32_t nev, bool* fileWarned) {
  int dbg_tdc_t = 0, dbg_tdc_f = 0;
  GetCtrlVal(p1h, P1_DBG_TDC_TERM, &dbg_tdc_t);
  GetCtrlVal(p1h, P1_DBG_TDC_FILE, &dbg_tdc_f);
  TdcDebug dbg;
  dbg.term = dbg_tdc_t != 0;
  if (dbg_tdc_f) {
    dbg.file = std::fopen("TDCout.txt", "a");
    if (!dbg.file && !*fileWarned) {
      con_printf("Cannot open TDCout.txt for the TDC word dump (%s); the run goes on without it.\n",
                 std::strerror(errno));
      *fileWarned = true;
    }
  }
  unsigned short tdcneve = 0;
  std::uint32_t triggneve = 0;
  WIENVME_read16(hHandle24, 1, kTdcEventsStored, &tdcneve);
  WIENVME_read32(hHandle24, 1, kTdcEventCounter, &triggneve);
  if (dbg.any()) {
    char line[128];
    std::snprintf(line, sizeof line, "\n [%d] tdcneve = %u | triggneve = %u\n",
                  static_cast<int>(nev), tdcneve, triggneve);
    if (dbg.term) con_write(line);
    if (dbg.file) std::fputs(line, dbg.file);
  }
  bool ok = true;
  unsigned short l = 0;
  int words = 0;
  while (l < tdcneve) {
    if (words >= kTdcMaxWordsPerReadout) {
      con_printf("TDC read-out: %u global trailer(s) of %u missing after %d words -- this event's "
                 "read-out ends here.\n",
                 static_cast<unsigned>(tdcneve - l), static_cast<unsigned>(tdcneve), words);
      ok = false;
      break;
    }
    std::uint32_t w = 0;
    WIENVME_read32(hHandle24, 1, kTdcOutputBuffer, &w);
    ++words;
    if (dbg.any()) {
      char line[96];
      std::snprintf(line, sizeof line, ">>>>>>>>>>>>> l = %d | %x\n", l, w);
      if (dbg.term) con_write(line);
      if (dbg.file) std::fputs(line, dbg.file);
    }
    if (tdc_decode_word(w, ev, dbg)) ++l;
  }
  if (dbg.file) std::fclose(dbg.file);
  return ok;
}

// The rolling time-step deadline: a position ends at the first event past
// it, and the next deadline is one period after that event.
struct TimeStep {
  std::uint32_t minutes = 0;
  std::uint32_t end_time_s = 0;
  bool due(const char* kind, int xset) {
    if (minutes == 0) return false;
    int hours = 0, mins = 0, secs = 0;
    CVI_GetSystemTime(&hours, &mins, &secs);
    const std::uint32_t cur_time_s = now_s();
    if (cur_time_s < end_time_s) return false;
    end_time_s = cur_time_s + 60u * minutes;
    con_printf("STEP (%s):%2d-%2d-%2d @ %d\n", kind, hours, mins, secs, xset);
    return true;
  }
};

// The run's line on the panel: state, progress and the interlocks' figures.
struct RunStatus {
  const char* state = "running";
  unsigned positions = 0, totalPositions = 0;
  unsigned long long saved = 0;
  std::int64_t freeBytes = -1;
  int boardFailures = 0;
  void show(unsigned long long savedNow) {
    saved = savedNow;
    char text[200];
    int n = std::snprintf(text, sizeof text, "%s: position %u of %u, %llu event(s) saved", state,
                          positions, totalPositions, saved);
    if (freeBytes >= 0 && n > 0 && n < int(sizeof text))
      n += std::snprintf(text + n, sizeof text - n, ", %.1f GB free", freeBytes / 1e9);
    if (boardFailures > 0 && n > 0 && n < int(sizeof text))
      std::snprintf(text + n, sizeof text - n, ", %d board read failure(s)", boardFailures);
    SetCtrlVal(p1h, P1_RUN_STATUS, text);
  }
};

struct Settings {
  RUNREC runrec;
  std::uint32_t step_minutes = 0;
  int dsave = 0;
  std::string base;
  std::int64_t fmax = 0;
  SaveRule rule;
};

void read_settings(Settings& s) {
  GetCtrlVal(p1h, P1_XY, &s.runrec.xy);
  GetCtrlVal(p1h, P1_NEV, &s.runrec.nev);
  GetCtrlVal(p1h, P1_PED, &s.runrec.ped);
  GetCtrlVal(p1h, P1_NX, &s.runrec.nx);
  GetCtrlVal(p1h, P1_DX, &s.runrec.dx);
  GetCtrlVal(p1h, P1_X0, &s.runrec.x0);
  GetCtrlVal(p1h, P1_NY, &s.runrec.ny);
  GetCtrlVal(p1h, P1_DY, &s.runrec.dy);
  GetCtrlVal(p1h, P1_Y0, &s.runrec.y0);
  GetCtrlVal(p1h, P1_STEP_MINUTES, &s.step_minutes);
}

}  // namespace

void daq_set_clock(RunClock clock) { g_clock.store(clock); }
void daq_set_min_free_bytes(std::int64_t bytes) { g_minFreeBytes.store(bytes); }
void daq_set_max_board_failures(int n) { g_maxBoardFailures.store(n); }
void daq_set_free_space_probe(FreeSpaceProbe probe) { g_freeProbe.store(probe); }

void wait_loop(std::uint32_t iloop) {
  // volatile: the count must really run, whatever the optimiser thinks.
  volatile std::uint32_t i = 0;
  while (i < iloop) i = i + 1u;
}

int daq_run(void*) {
  Settings s;
  RUNREC& runrec = s.runrec;
  POSREC posrec;
  EVTREC evtrec;
  EventTable ev;
  RunFileWriter writer;
  bool fileWarned = false;
  unsigned positions = 0;
  unsigned long long saved = 0;
  RunStatus shown;
  read_settings(s);
  scan_map_run_start(runrec);  // scan map
  shown.totalPositions = static_cast<unsigned>(std::max(0, runrec.nx)) *
                         static_cast<unsigned>(std::max(0, runrec.ny));

  int hours = 0, minutes = 0, seconds = 0;
  CVI_GetSystemTime(&hours, &minutes, &seconds);
  std::uint32_t cur_time_s = now_s();
  std::uint32_t end_time_s = cur_time_s + 60u * s.step_minutes;
  TimeStep step{s.step_minutes, end_time_s};
  con_printf("START:%2d-%2d-%2d (cur_time = %u s, end_time = %u s)\n", hours, minutes, seconds,
             cur_time_s, end_time_s);

  GetCtrlVal(p1h, P1_SAVE, &s.dsave);
  if (s.dsave) {
    GetCtrlVal(p1h, P1_FILE, &s.base);
    int fmaxMb = 0;
    GetCtrlVal(p1h, P1_FMAX, &fmaxMb);
    s.fmax = static_cast<std::int64_t>(fmaxMb) * 1000000;
  }
  s.rule.dsave = s.dsave;
  GetCtrlVal(p1h, P1_SUPPRESS, &s.rule.supr0);
  if (s.rule.supr0) {
    GetCtrlVal(p1h, P1_TDCMIN, &s.rule.tdcmin);
    GetCtrlVal(p1h, P1_FRAC, &s.rule.frac);
  }

  // Veto first: triggers taken while idle (the veto is off after an operator
  // stop) must not pair a board event of before the run with a TDC event of
  // the run. The TDC is cleared below; the board's frames are dropped here.
  pio_write(1);
  unsigned short zero = 0;
  WIENVME_write16(hHandle24, 1, kTdcSoftClear, &zero);
  Delay(0.01);
  easiroc_singleADCstart();
  if (int stale = easiroc_discard_pending(50))
    con_printf("Run start: %d board event(s) from before the run discarded.\n", stale);

  // Saving was asked for but nothing can be kept: no run rather than a run
  // whose data silently goes nowhere.
  bool abort = false;
  bool refused = false;      // the disk margin: nothing was opened
  bool interlocked = false;  // ended by an interlock, said when it tripped
  int boardFailures = 0, boardFailuresInRow = 0;
  if (s.dsave) {
    const std::string first = run_file_name(s.base, 1);
    const std::int64_t free = free_space(first);
    if (disk_too_full(free, first, "Run not started")) {
      abort = true;
      refused = true;
    } else {
      shown.freeBytes = free;
      if (!writer.open(s.base, s.fmax)) {
        abort = true;
      } else {
        runrec.time = now_s();
        abort = !writer.write(runrec);
      }
    }
    if (abort && !refused) con_printf("Run not started: the run file could not be written.\n");
  }
  if (s.rule.supr0) {
    double fracg = 0;
    Uniform(1, static_cast<int>(runrec.time & 0x7FFFFFFF), &fracg);
  }

  evtrec.nev = 1;
  for (posrec.iy = 0; !abort && posrec.iy < runrec.ny; ++posrec.iy) {
    posrec.yset = posrec.iy * runrec.dy + runrec.y0;
    SetCtrlVal(p1h, P1_YSET, posrec.yset);
    SetCtrlVal(p1h, P1_IY, posrec.iy);
    for (posrec.ix = 0; !abort && posrec.ix < runrec.nx; ++posrec.ix) {
      posrec.xset = posrec.ix * runrec.dx + runrec.x0;
      SetCtrlVal(p1h, P1_XSET, posrec.xset);
      SetCtrlVal(p1h, P1_IX, posrec.ix);
      if (s.dsave) {
        posrec.time = now_s();
        if (!writer.write(posrec)) {
          abort = true;
          break;
        }
      }
      spectra_clear();
      scan_map_position(posrec);  // scan map
      ++positions;
      shown.positions = positions;
      shown.show(saved);

      evtrec.nev = 1;
      std::uint32_t before;
      do {
        // ---- one event cycle ----
        ev.clear();
        wait_loop(200);
        WIENVME_write16(hHandle24, 1, kTdcSoftClear, &zero);
        wait_loop(200);
        pio_write(0);
        ntics.store(0);
        int tdc_lam = 0;
        unsigned polls = 0;
        do {
          unsigned short status = 0;
          if (WIENVME_read16(hHandle24, 1, kTdcStatus, &status) != 0) {
            // No data-ready bit can ever be seen through a failing bus.
            con_printf("Run stopped: the TDC status cannot be read.\n");
            daq_on.store(0);
            break;
          }
          tdc_lam = status & 1;
          // A long wait for beam must not hold written events in memory.
          if (tdc_lam == 0 && s.dsave && (++polls & 0xFFF) == 0 && !writer.flush_if_due()) {
            abort = true;
            daq_on.store(0);
          }
        } while (tdc_lam == 0 && daq_on.load() != 0);
        pio_write(1);
        wait_loop(2000);
        if (daq_on.load() == 0) break;

        if (ntics.load() >= 2) {
          if (step.due("lam", posrec.xset)) break;
        } else {
          for (int k = 0; k < 32; ++k) wait_loop(200);
          tdc_readout(ev, evtrec.nev, &fileWarned);
          int ndat = easiroc_singleADCevent(esrcdata);
          esrc_classify(esrcdata, ndat, ev);
          if (ndat < 0) {
            ++boardFailures;
            shown.boardFailures = boardFailures;
            shown.show(saved);
            con_printf("Board event read failed at event %u (%d in a row, %d in this run).\n",
                       evtrec.nev, ++boardFailuresInRow, boardFailures);
            const int limit = g_maxBoardFailures.load();
            if (limit > 0 && boardFailuresInRow >= limit) {
              con_printf("Run stopped: the board gave no event %d times in a row -- check the board "
                         "(Connect + init) before the next run.\n",
                         boardFailuresInRow);
              interlocked = true;
              daq_on.store(0);
            }
          } else {
            boardFailuresInRow = 0;
          }
          const bool keep = save_decision(s.rule, ev, nullptr);
          scan_map_event(ev, keep);  // scan map
          if (keep) {
            pack_evtrec(ev, evtrec);
            if (!writer.write(evtrec)) {
              abort = true;
              break;
            }
            ++saved;
          }
          SetCtrlVal(p1h, P1_EVENT, evtrec.nev);
          if (s.dsave && evtrec.nev % 1000 == 0) {
            if (!writer.rollover_if_needed(now_s())) {
              abort = true;
              break;
            }
            shown.freeBytes = free_space(writer.current_name());
            shown.show(saved);
            if (disk_too_full(shown.freeBytes, writer.current_name(), "Run stopped")) {
              interlocked = true;
              daq_on.store(0);
            }
          }
          if (step.due("nev", posrec.xset)) break;
        }
        before = evtrec.nev++;
      } while (before < runrec.nev);
      if (daq_on.load() == 0) break;
    }
    if (daq_on.load() == 0) break;
  }

  if (abort && !writer.files().empty()) {  // a run that never started kept nothing
    pio_write(1);
    con_printf("Run ended early: the run file could not be written (see above). Data up to the "
               "last complete record is kept.\n");
  }
  if (s.dsave && writer.is_open()) writer.close(now_s());
  if (interlocked) con_printf("Run ended early by an interlock (see above); the file is complete.\n");
  shown.state = abort ? (positions == 0 ? "not started" : "ended early (run file)")
                      : (interlocked ? "stopped by an interlock" : "ended");
  shown.show(saved);
  con_printf("Run ended: %u position(s), %llu event(s) saved.\n", positions, saved);
  // Absolute paths: the operator (or a script) finds the data whatever the
  // working directory was.
  for (const std::string& f : writer.files()) {
    char full[PATH_MAX];
    con_printf("run file: %s\n", realpath(f.c_str(), full) ? full : f.c_str());
  }
  daq_on.store(0);
  SetCtrlVal(p1h, P1_RUN, 0);
  SetCtrlVal(p1h, P1_EVENT, evtrec.nev);
  return 0;
}
