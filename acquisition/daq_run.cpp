#include "daq_run.h"

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
  read_settings(s);

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

  unsigned short zero = 0;
  WIENVME_write16(hHandle24, 1, kTdcSoftClear, &zero);
  Delay(0.01);
  easiroc_singleADCstart();

  // Saving was asked for but nothing can be kept: no run rather than a run
  // whose data silently goes nowhere.
  bool abort = false;
  if (s.dsave) {
    if (!writer.open(s.base, s.fmax)) {
      abort = true;
    } else {
      runrec.time = now_s();
      abort = !writer.write(runrec);
    }
    if (abort) con_printf("Run not started: the run file could not be written.\n");
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
      ++positions;

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
        do {
          unsigned short status = 0;
          if (WIENVME_read16(hHandle24, 1, kTdcStatus, &status) != 0) {
            // No data-ready bit can ever be seen through a failing bus.
            con_printf("Run stopped: the TDC status cannot be read.\n");
            daq_on.store(0);
            break;
          }
          tdc_lam = status & 1;
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
          if (save_decision(s.rule, ev, nullptr)) {
            pack_evtrec(ev, evtrec);
            if (!writer.write(evtrec)) {
              abort = true;
              break;
            }
            ++saved;
          }
          SetCtrlVal(p1h, P1_EVENT, evtrec.nev);
          if (s.dsave && evtrec.nev % 1000 == 0 && !writer.rollover_if_needed(now_s())) {
            abort = true;
            break;
          }
          if (step.due("nev", posrec.xset)) break;
        }
        before = evtrec.nev++;
      } while (before < runrec.nev);
      if (daq_on.load() == 0) break;
    }
    if (daq_on.load() == 0) break;
  }

  if (abort) {
    pio_write(1);
    con_printf("Run ended early: the run file could not be written (see above). Data up to the "
               "last complete record is kept.\n");
  }
  if (s.dsave && writer.is_open()) writer.close(now_s());
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
