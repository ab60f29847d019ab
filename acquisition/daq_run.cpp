#include "daq_run.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "coarse_clock.h"
#include "decode.h"
#include "easiroc.h"
#include "platform.h"
#include "run_config.h"
#include "run_map.h"
#include "run_recorder.h"
#include "run_series.h"
#include "runfile.h"
#include "run_state.h"
#include "live_histograms.h"
#include "tdc.h"

namespace {

std::atomic<RunClock> g_clock{nullptr};
std::atomic<std::int64_t> g_minFreeBytes{kDefaultMinFreeBytes};
std::atomic<int> g_maxBoardFailures{kDefaultMaxBoardFailures};
std::atomic<FreeSpaceProbe> g_freeProbe{nullptr};

// Frames arriving while the veto is on this often end the run: the board
// then triggers itself and no pairing can be trusted.
constexpr int kVetoLeakLimit = 3;
constexpr std::uint64_t kVetoLeakWindow = 1000;  // read-outs

const char* kNotVetoed =
    "the board sends events while the veto is on: its trigger is not vetoed, so TDC and board "
    "events cannot be paired";

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

// The TDC's witness of one trigger wait: events in its buffer and triggers
// counted since the cycle's clear.
struct TdcCounts {
  std::uint16_t stored = 0;
  std::uint32_t counter = 0;
  bool counterRead = false;
  // Triggers that reached the station, hence board frames to take.
  std::uint32_t triggers() const {
    return counterRead && counter != 0 ? counter : stored;
  }
  bool agree() const { return counterRead && counter == stored && stored > 0; }
};

class Run {
 public:
  Run(const RunConfig& config, RunObserver& observer) : cfg_(config), obs_(observer) {}
  RunReport take();

 private:
  enum class Cycle { Next, LeavePosition, Stop };

  bool start();
  bool open_file();
  void scan();
  bool take_position();
  Cycle event_cycle();
  bool wait_for_trigger();
  bool read_counts(TdcCounts& counts);
  bool tdc_readout(const TdcCounts& counts);
  bool read_board(const TdcCounts& counts);
  bool drop_frames(std::uint32_t n);
  void drop_untaken(const TdcCounts& counts);
  bool check_vetoed_frames();
  void hold_event();
  bool complete_held();
  bool save_event(const EventTable& ev, std::uint32_t nev);
  void board_failed(BoardReadStatus st, const BoardEvent& ev);
  void finish();

  // The first reason counts; `recordName` is how the run record names it.
  void stop(RunEnd end, const std::string& reason, const char* recordName = nullptr);
  void show_status();
  std::string status_text() const;

  RunConfig cfg_;
  RunObserver& obs_;
  RunReport rep_;
  const char* state_ = "running";
  RunFileWriter writer_;
  RunRecorder record_;  // the run record beside the files
  TimeStep step_;
  POSREC pos_;
  std::uint32_t nev_ = 0;  // the event being taken at this position, from 1
  EventTable ev_;
  // A read-out event whose board words are classified and whose record is
  // written while the next event's board frame is on its way.
  struct Held {
    bool on = false;
    EventTable ev;
    int boardWords = -1;  // words of its frame in the board buffer; -1: none
    std::uint32_t nev = 0;
  } held_;
  int boardWords_ = -1;  // of the event being read out
  std::vector<std::uint32_t> tdcWords_ = std::vector<std::uint32_t>(kTdcMaxWordsPerReadout);
  PositionReport* here_ = nullptr;
  std::int64_t freeBytes_ = -1;
  bool fileWarned_ = false;
  bool saidKind_[6] = {};
  std::uint64_t readOuts_ = 0;
  CoarseClock::time_point nextStatus_{};
  CoarseClock::time_point nextSwitches_{};  // when the dump switches are next read
  bool dumpTerm_ = false, dumpFile_ = false;
  std::uint64_t leakAt_[kVetoLeakLimit] = {};
  int leaks_ = 0;
  bool failed_ = false;  // a device or the file failed: no more records
};

void Run::stop(RunEnd end, const std::string& reason, const char* recordName) {
  if (rep_.end == RunEnd::GridDone || rep_.end == RunEnd::OperatorStop) {
    rep_.end = end;
    rep_.reason = reason;
    if (end == RunEnd::Interlock || end == RunEnd::Failed)
      record_.interlock(recordName ? recordName : reason.c_str());
  }
  run_state().request_stop();
}

std::string Run::status_text() const {
  char text[320];
  int n = std::snprintf(text, sizeof text, "%s: position %u of %u, %llu event(s) saved", state_,
                        rep_.positions,
                        static_cast<unsigned>(std::max(0, cfg_.header.nx)) *
                            static_cast<unsigned>(std::max(0, cfg_.header.ny)),
                        static_cast<unsigned long long>(rep_.saved));
  auto more = [&](const char* fmt, auto... args) {
    if (n > 0 && n < int(sizeof text)) n += std::snprintf(text + n, sizeof text - n, fmt, args...);
  };
  if (freeBytes_ >= 0) more(", %.1f GB free", freeBytes_ / 1e9);
  if (rep_.board.total > 0)
    more(", %llu board read failure(s)", static_cast<unsigned long long>(rep_.board.total));
  if (cfg_.readBoard)
    more(", pairing: %llu checked, %llu dropped, %llu mismatch(es)",
         static_cast<unsigned long long>(rep_.pairing.checked),
         static_cast<unsigned long long>(rep_.pairing.framesDropped),
         static_cast<unsigned long long>(rep_.pairing.mismatches));
  else
    more(", TDC only");
  return text;
}

void Run::show_status() {
  obs_.status(status_text());
  obs_.progress(rep_);
}

bool Run::start() {
  int hours = 0, minutes = 0, seconds = 0;
  CVI_GetSystemTime(&hours, &minutes, &seconds);
  const std::uint32_t cur_time_s = now_s();
  step_ = TimeStep{cfg_.stepMinutes, cur_time_s + 60u * cfg_.stepMinutes};
  con_printf("START:%2d-%2d-%2d (cur_time = %u s, end_time = %u s)\n", hours, minutes, seconds,
             cur_time_s, step_.end_time_s);

  run_state().set_activity("setting the veto and emptying the TDC and the board");
  // Veto first: triggers taken while idle (the veto is off after an operator
  // stop) must not pair a board event of before the run with a TDC event of
  // the run. The TDC is cleared here; the board's frames are dropped below.
  if (veto_write(true) != 0) {
    stop(RunEnd::NotStarted, "the veto cannot be set (PIO write failed) -- check the crate");
    return false;
  }
  (void)tdc::clear();
  Delay(0.01);
  if (cfg_.readBoard) {
    const int link = easiroc_link_state();
    if (link != 0) {
      stop(RunEnd::NotStarted,
           link == -1 ? "no board connection -- press Connect, or switch off \"Read board "
                        "events\" for a TDC-only run"
                      : "the board closed the connection -- press Connect, or switch off \"Read "
                        "board events\" for a TDC-only run");
      return false;
    }
    if (easiroc_singleADCstart() != 0) {
      stop(RunEnd::NotStarted, "the board could not be started (see above)");
      return false;
    }
    const BoardDiscard d = easiroc_discard_pending(
        kStartQuietMs, kStartDiscardMaxMs, [] { return run_state().keep_going(); });
    if (d.dropped > 0)
      con_printf("Run start: %d board event(s) from before the run discarded.\n", d.dropped);
    if (d.aborted) {
      stop(RunEnd::OperatorStop, "");
      return false;
    }
    if (d.stillSending) {
      stop(RunEnd::NotStarted, std::string(kNotVetoed) +
                                   ". Check that the veto reaches the board's trigger, or "
                                   "switch off \"Read board events\" for a TDC-only run");
      return false;
    }
    if (d.linkLost) {
      stop(RunEnd::NotStarted, "the board closed the connection -- press Connect");
      return false;
    }
    easiroc_mute_read_errors(true);
  }
  if (cfg_.save && !open_file()) return false;
  if (cfg_.rule.supr0) {
    double fracg = 0;
    Uniform(1, static_cast<int>(cfg_.header.time & 0x7FFFFFFF), &fracg);
  }
  return true;
}

// Saving was asked for but nothing can be kept: no run rather than a run
// whose data silently goes nowhere.
bool Run::open_file() {
  const RunSeriesStart series = run_series_start(cfg_.base, cfg_.overwrite);
  cfg_.base = series.base;
  rep_.runNumber = series.number;
  obs_.run_number(series.number);
  if (!series.ok) {
    stop(RunEnd::NotStarted, series.refusal);
    return false;
  }
  const std::string first = run_file_name(cfg_.base, 1);
  const std::int64_t free = free_space(first);
  if (disk_too_full(free, first, "Run not started")) {
    stop(RunEnd::NotStarted, "too little free disk space");
    return false;
  }
  freeBytes_ = free;
  RUNREC runrec = cfg_.header;
  runrec.time = now_s();
  if (!writer_.open(cfg_.base, cfg_.fmaxBytes) || !writer_.write(runrec)) {
    stop(RunEnd::NotStarted, "the run file could not be written");
    failed_ = true;
    return false;
  }
  cfg_.header.time = runrec.time;
  record_.start(cfg_, writer_);
  return true;
}

void Run::scan() {
  const RUNREC& h = cfg_.header;
  for (pos_.iy = 0; pos_.iy < h.ny; ++pos_.iy) {
    pos_.yset = pos_.iy * h.dy + h.y0;
    for (pos_.ix = 0; pos_.ix < h.nx; ++pos_.ix) {
      pos_.xset = pos_.ix * h.dx + h.x0;
      obs_.position(pos_);
      if (!take_position() || !run_state().keep_going()) return;
    }
  }
}

// One position: its record, empty spectra, then its event cycles. False
// when the run cannot go on.
bool Run::take_position() {
  if (!complete_held()) return false;  // the last position's last event
  if (cfg_.save) {
    pos_.time = now_s();
    if (!writer_.write(pos_)) {
      stop(RunEnd::Failed, "the run file could not be written");
      failed_ = true;
      return false;
    }
  }
  record_.position(pos_);
  scan_map_position(pos_);
  spectra_clear();
  ++rep_.positions;
  rep_.perPosition.push_back({pos_.ix, pos_.iy, pos_.xset, pos_.yset, 0, 0, {}});
  here_ = &rep_.perPosition.back();
  show_status();
  nev_ = 1;
  std::uint32_t before;
  do {
    const Cycle c = event_cycle();
    if (c == Cycle::Stop) return !failed_;
    if (c == Cycle::LeavePosition) break;
    before = nev_++;
  } while (before < cfg_.header.nev);
  return true;
}

// Polls the data-ready bit back to back. False when the run flag dropped or
// the status cannot be read.
bool Run::wait_for_trigger() {
  run_state().set_activity("waiting for a trigger (TDC data ready)");
  unsigned polls = 0;
  for (;;) {
    std::uint16_t st = 0;
    if (tdc::status(&st) != 0) {
      // No data-ready bit can ever be seen through a failing bus.
      con_printf("Run stopped: the TDC status cannot be read.\n");
      stop(RunEnd::Failed, "the TDC status cannot be read", "TDC status unreadable");
      return false;
    }
    if (st & V1290_STATUS_DATA_READY) return true;
    if ((++polls & 0xFFF) == 0) {
      // Waiting for beam: the held event is kept and shown now.
      if (!complete_held()) return false;
      obs_.waiting();
      // A long wait for beam must not hold written events in memory.
      if (cfg_.save && !writer_.flush_if_due()) {
        stop(RunEnd::Failed, "the run file could not be written");
        failed_ = true;
        return false;
      }
    }
    if (!run_state().keep_going()) return false;
  }
}

bool Run::read_counts(TdcCounts& counts) {
  if (tdc::events_stored(&counts.stored) != 0) {
    con_printf("Run stopped: the TDC's events-stored register cannot be read at event %u -- "
               "check the crate.\n",
               nev_);
    stop(RunEnd::Failed, "the TDC's events-stored register cannot be read");
    return false;
  }
  counts.counterRead = tdc::event_counter(&counts.counter) == 0;
  return true;
}

// Drops the frames of n triggers; false when the link went down.
bool Run::drop_frames(std::uint32_t n) {
  if (!cfg_.readBoard || n == 0) return true;
  BoardReadStatus failure = BoardReadStatus::Ok;
  const int dropped = easiroc_drop_events(static_cast<int>(n), &failure);
  rep_.pairing.framesDropped += dropped;
  here_->pairing.framesDropped += dropped;
  if (failure != BoardReadStatus::Ok) board_failed(failure, BoardEvent{});
  return !easiroc_link_lost();
}

// The frames of a trigger the run ends on are counted and kept out of the
// stream; a failing link has had its say already.
void Run::drop_untaken(const TdcCounts& counts) {
  if (!cfg_.readBoard) return;
  const int n = easiroc_drop_events(static_cast<int>(counts.triggers()), nullptr);
  rep_.pairing.framesDropped += n, here_->pairing.framesDropped += n;
}

// Frames found before the veto is released came while it was on: no TDC
// trigger belongs to them. They are dropped; when it keeps happening the
// board is triggering itself and the run ends.
bool Run::check_vetoed_frames() {
  const int n = easiroc_drop_arrived();
  if (n == 0) return true;
  PairingCounts& p = here_->pairing;
  rep_.pairing.vetoedFrames += n, p.vetoedFrames += n;
  rep_.pairing.framesDropped += n, p.framesDropped += n;
  ++rep_.pairing.mismatches, ++p.mismatches;
  if (leaks_ == 0)
    con_printf("Pairing: %d board event(s) arrived while the veto was on (before event %u); "
               "dropped and counted as a mismatch.\n",
               n, nev_);
  leakAt_[leaks_ % kVetoLeakLimit] = readOuts_;
  ++leaks_;
  if (leaks_ >= kVetoLeakLimit &&
      readOuts_ - leakAt_[leaks_ % kVetoLeakLimit] <= kVetoLeakWindow) {
    con_printf("Run stopped: %s.\n", kNotVetoed);
    stop(RunEnd::Interlock, kNotVetoed);
    return false;
  }
  return true;
}

Run::Cycle Run::event_cycle() {
  ev_.clear_tdc();  // the ADC values are set when the held event is completed
  wait_loop(200);
  (void)tdc::clear();
  wait_loop(200);
  if (cfg_.readBoard && cfg_.verifyPairing && !check_vetoed_frames()) return Cycle::Stop;
  if (veto_write(false) != 0) {
    con_printf("Run stopped: the veto cannot be released (PIO write failed) -- check the crate.\n");
    stop(RunEnd::Failed, "the veto cannot be released (PIO write failed)");
    return Cycle::Stop;
  }
  ntics.store(0);
  const bool ready = wait_for_trigger();
  if (veto_write(true) != 0) {
    // Triggers would go on reaching both front ends unseen.
    con_printf("Run stopped: the veto cannot be set (PIO write failed) -- check the crate.\n");
    stop(RunEnd::Failed, "the veto cannot be set (PIO write failed)");
    return Cycle::Stop;
  }
  wait_loop(2000);
  if (!run_state().keep_going()) {
    // The frames of a trigger seen as the run ends stay out of the stream.
    // (A board that failed already has had its say.)
    TdcCounts counts;
    if (ready && cfg_.readBoard && read_counts(counts)) drop_untaken(counts);
    return Cycle::Stop;
  }
  TdcCounts counts;
  if (!read_counts(counts)) return Cycle::Stop;
  if (cfg_.lateSkip && ntics.load() >= 2) {
    ++rep_.pairing.lateSkipped, ++here_->pairing.lateSkipped;
    ++record_.count().skipped;
    if (!drop_frames(counts.triggers())) {
      stop(RunEnd::Failed, "the board closed the connection");
      return Cycle::Stop;
    }
    return step_.due("lam", pos_.xset) ? Cycle::LeavePosition : Cycle::Next;
  }
  for (int k = 0; k < 32; ++k) wait_loop(200);
  if (!tdc_readout(counts)) return Cycle::Stop;
  if (!read_board(counts)) return Cycle::Stop;
  hold_event();
  return step_.due("nev", pos_.xset) ? Cycle::LeavePosition : Cycle::Next;
}

// Drains the TDC output buffer. False when the run must end.
bool Run::tdc_readout(const TdcCounts& counts) {
  // The dump switches are looked at a few times a second: read per event
  // they cost as much as decoding the event.
  if (const auto now = CoarseClock::now(); now >= nextSwitches_) {
    obs_.debug_switches(&dumpTerm_, &dumpFile_);
    nextSwitches_ = now + std::chrono::milliseconds(100);
  }
  TdcDebug dbg;
  dbg.term = dumpTerm_;
  if (dumpFile_) {
    dbg.file = std::fopen("TDCout.txt", "a");
    if (!dbg.file && !fileWarned_) {
      con_printf("Cannot open TDCout.txt for the TDC word dump (%s); the run goes on without it.\n",
                 std::strerror(errno));
      fileWarned_ = true;
    }
  }
  if (dbg.any()) {
    char line[128];
    std::snprintf(line, sizeof line, "\n [%d] tdcneve = %u | triggneve = %u\n",
                  static_cast<int>(nev_), counts.stored, counts.counter);
    if (dbg.term) con_write(line);
    if (dbg.file) std::fputs(line, dbg.file);
  }
  // Without the dump the words are decoded together once drained.
  const bool batch = !dbg.any();
  unsigned short l = 0;
  int words = 0;
  while (l < counts.stored) {
    if (words >= kTdcMaxWordsPerReadout) {
      con_printf("TDC read-out: %u global trailer(s) of %u missing after %d words -- this event's "
                 "read-out ends here.\n",
                 static_cast<unsigned>(counts.stored - l), static_cast<unsigned>(counts.stored),
                 words);
      break;
    }
    std::uint32_t w = 0;
    (void)tdc::output_word(&w);
    if (batch) {
      tdcWords_[static_cast<std::size_t>(words++)] = w;
      if (tdc_is_global_trailer(w)) ++l;
      continue;
    }
    ++words;
    char line[96];
    std::snprintf(line, sizeof line, ">>>>>>>>>>>>> l = %d | %x\n", l, w);
    if (dbg.term) con_write(line);
    if (dbg.file) std::fputs(line, dbg.file);
    if (tdc_decode_word(w, ev_, dbg)) ++l;
  }
  if (batch) (void)tdc_decode_words(tdcWords_.data(), words, ev_);
  if (dbg.file) std::fclose(dbg.file);
  return true;
}

// Takes one frame per trigger the TDC counted: the record pairs with the
// last, as the decoding keeps the last TDC event's hits. The event before is
// completed first, while this one's frame is on its way; false when that
// ended the run (this trigger's frames are then dropped).
bool Run::read_board(const TdcCounts& counts) {
  ++readOuts_;
  ++here_->readOut;
  boardWords_ = -1;
  if (!complete_held()) {
    drop_untaken(counts);
    return false;
  }
  if (!cfg_.readBoard) return true;
  PairingCounts& p = here_->pairing;
  const std::uint32_t triggers = counts.triggers();
  if (!cfg_.verifyPairing) {
  } else if (counts.agree()) {
    ++rep_.pairing.checked, ++p.checked;
  } else {
    ++rep_.pairing.mismatches, ++p.mismatches;
    if (rep_.pairing.mismatches == 1)
      con_printf("Pairing: at event %u the TDC holds %u event(s) but counted %u trigger(s)%s; "
                 "counted as a mismatch.\n",
                 nev_, counts.stored, counts.counter,
                 counts.counterRead ? "" : " (counter unreadable)");
  }
  if (triggers > 1) {
    ++rep_.pairing.multiTrigger, ++p.multiTrigger;
    if (!drop_frames(triggers - 1)) {
      con_printf("Run stopped: the board closed the connection at event %u -- press Connect "
                 "before the next run.\n",
                 nev_);
      stop(RunEnd::Failed, "the board closed the connection");
      return true;
    }
  }
  if (triggers == 0) return true;  // no trigger counted: no frame belongs to this event
  const BoardEvent e = easiroc_read_event(easiroc::board().esrcdata);
  if (e.status == BoardReadStatus::Ok) {
    rep_.board.inRow = 0;
    boardWords_ = e.n;
    return true;
  }
  board_failed(e.status, e);
  return true;
}

void Run::hold_event() {
  held_.ev.tdc = ev_.tdc;
  held_.ev.tdcchhit = ev_.tdcchhit;
  held_.boardWords = boardWords_;
  held_.nev = nev_;
  held_.on = true;
}

// False when the run cannot go on (the file failed, or saving the event
// ended the run).
bool Run::complete_held() {
  if (!held_.on) return !failed_;
  held_.on = false;
  if (failed_) return false;
  // The board buffer still holds this event's frame: nothing reads into it
  // before the next event's frame. Without a frame the ADC values are 0.
  esrc_classify(easiroc::board().esrcdata, held_.boardWords, held_.ev);
  return save_event(held_.ev, held_.nev);
}

// The event keeps ADC values of 0. Each kind of failure is said once.
void Run::board_failed(BoardReadStatus st, const BoardEvent& e) {
  BoardFailureCounts& b = rep_.board;
  ++b.total;
  ++b.inRow;
  if (st == BoardReadStatus::LinkLost || st == BoardReadStatus::NoLink) {
    con_printf("Run stopped: the board closed the connection at event %u -- press Connect "
               "before the next run.\n",
               nev_);
    stop(RunEnd::Failed, "the board closed the connection");
    show_status();
    return;
  }
  const int kind = static_cast<int>(st);
  if (st == BoardReadStatus::Timeout) ++b.timeouts;
  if (st == BoardReadStatus::BadFrame) ++b.badFrames;
  if (st == BoardReadStatus::Oversized) ++b.oversized;
  if (!saidKind_[kind]) {
    saidKind_[kind] = true;
    switch (st) {
      case BoardReadStatus::Timeout:
        con_printf("Board event read failed at event %u: no frame within the receive time-out.",
                   nev_);
        break;
      case BoardReadStatus::Oversized:
        con_printf("Board event read failed at event %u: frame of %u data words does not fit the "
                   "%d-word event buffer.",
                   nev_, e.words, ESRCDATA_WORDS);
        break;
      default:
        con_printf("Board event read failed at event %u: bad frame (Header1 : 0x%x | Header2 : "
                   "0x%x | Header3 : 0x%x).",
                   nev_, e.header[0], e.header[1], e.header[2]);
        break;
    }
    con_printf(" The event keeps ADC values 0; further failures of this kind are counted, not "
               "printed.\n");
  }
  show_status();
  const int limit = cfg_.maxBoardFailures;
  if (limit > 0 && b.inRow >= limit) {
    con_printf("Run stopped: the board gave no event %d times in a row -- check the board "
               "(Connect + init) before the next run.\n",
               b.inRow);
    stop(RunEnd::Interlock, "board read failures in a row", "board read failures");
  }
}

// Save, show and roll-over of a read-out event. False when it ended the run.
bool Run::save_event(const EventTable& ev, std::uint32_t nev) {
  // The status line (pairing and failure counts) follows the run a few
  // times a second whatever the trigger rate.
  const auto now = CoarseClock::now();
  if (now >= nextStatus_) {
    nextStatus_ = now + std::chrono::milliseconds(250);
    show_status();
  }
  const bool keep = save_decision(cfg_.rule, ev, nullptr);
  scan_map_event(ev, keep);
  if (keep) {
    EVTREC rec;
    rec.nev = nev;
    pack_evtrec(ev, rec);
    if (!writer_.write(rec)) {
      stop(RunEnd::Failed, "the run file could not be written");
      failed_ = true;
      return false;
    }
    ++rep_.saved;
    ++here_->saved;
    ++record_.count().saved;
  } else if (cfg_.save) {
    ++record_.count().dropped;
  }
  obs_.event(nev);
  obs_.progress(rep_);
  if (cfg_.save && nev % 1000 == 0) {
    if (!writer_.rollover_if_needed(now_s())) {
      stop(RunEnd::Failed, "the run file could not be written");
      failed_ = true;
      return false;
    }
    freeBytes_ = free_space(writer_.current_name());
    show_status();
    if (disk_too_full(freeBytes_, writer_.current_name(), "Run stopped")) {
      stop(RunEnd::Interlock, "too little free disk space", "free disk space");
      return false;
    }
  }
  return true;
}

void Run::finish() {
  if (cfg_.readBoard) easiroc_mute_read_errors(false);
  if (failed_ && !writer_.files().empty()) {  // a run that never started kept nothing
    (void)veto_write(true);
    con_printf("Run ended early: the run file could not be written (see above). Data up to the "
               "last complete record is kept.\n");
  }
  if (cfg_.save && writer_.is_open()) writer_.close(now_s());
  record_.pairing(rep_.perPosition);
  record_.finish(now_s(), failed_, rep_.end == RunEnd::GridDone && run_state().keep_going(), writer_);
  if (rep_.end == RunEnd::NotStarted) {
    con_printf("Run not started: %s.\n", rep_.reason.c_str());
  } else if (rep_.end == RunEnd::Interlock) {
    con_printf("Run ended early by an interlock (see above); the file is complete.\n");
  }
  state_ = rep_.end == RunEnd::NotStarted ? "not started"
           : failed_                       ? "ended early (run file)"
           : rep_.end == RunEnd::Interlock ? "stopped by an interlock"
           : rep_.end == RunEnd::Failed    ? "stopped"
                                           : "ended";
  std::string text = status_text();
  if (!rep_.reason.empty()) text += " -- " + rep_.reason;
  obs_.status(text);
  con_printf("Run ended: %u position(s), %llu event(s) saved.%s\n", rep_.positions,
             static_cast<unsigned long long>(rep_.saved),
             run_number_note(rep_.runNumber).c_str());
  const PairingCounts& p = rep_.pairing;
  if (!cfg_.readBoard) {
    con_printf("Pairing: not checked (board events not read: TDC-only run).\n");
  } else if (rep_.end != RunEnd::NotStarted) {
    con_printf("Pairing: %llu event(s) checked, %llu frame(s) dropped, %llu mismatch(es) detected "
               "(%llu multi-trigger read-out(s), %llu late trigger(s) skipped, %llu frame(s) "
               "while the veto was on).\n",
               static_cast<unsigned long long>(p.checked),
               static_cast<unsigned long long>(p.framesDropped),
               static_cast<unsigned long long>(p.mismatches),
               static_cast<unsigned long long>(p.multiTrigger),
               static_cast<unsigned long long>(p.lateSkipped),
               static_cast<unsigned long long>(p.vetoedFrames));
  }
  const BoardFailureCounts& b = rep_.board;
  if (b.total > 0)
    con_printf("Board: %llu event read(s) failed (%llu time-out(s), %llu bad frame(s), %llu "
               "oversized); those events have ADC values 0.\n",
               static_cast<unsigned long long>(b.total),
               static_cast<unsigned long long>(b.timeouts),
               static_cast<unsigned long long>(b.badFrames),
               static_cast<unsigned long long>(b.oversized));
  // Absolute paths: the operator (or a script) finds the data whatever the
  // working directory was.
  for (const std::string& f : writer_.files()) {
    char full[PATH_MAX];
    rep_.files.push_back(realpath(f.c_str(), full) ? full : f);
    con_printf("run file: %s\n", rep_.files.back().c_str());
  }
  rep_.lastNev = nev_;
}

RunReport Run::take() {
  RunState& state = run_state();
  // Called directly (a script or benchmark without the panel's start).
  if (!state.active()) (void)state.request_start();
  scan_map_run_start(cfg_.header);
  if (start()) {
    state.started();
    scan();
    (void)complete_held();  // before the last position's fits and the file's end
  }
  scan_map_scan_end();
  if (rep_.end == RunEnd::GridDone && !state.keep_going()) rep_.end = RunEnd::OperatorStop;
  state.set_activity("closing the run file");
  finish();
  state.set_activity("fitting the last position's peaks");
  scan_map_run_end();
  state.finished(rep_.end, rep_.reason);
  obs_.finished(rep_);
  return rep_;
}

}  // namespace

void daq_set_clock(RunClock clock) { g_clock.store(clock); }
void daq_set_min_free_bytes(std::int64_t bytes) { g_minFreeBytes.store(bytes); }
void daq_set_max_board_failures(int n) { g_maxBoardFailures.store(n); }
int daq_max_board_failures() { return g_maxBoardFailures.load(); }
void daq_set_free_space_probe(FreeSpaceProbe probe) { g_freeProbe.store(probe); }

void wait_loop(std::uint32_t iloop) {
  // volatile: the count must really run, whatever the optimiser thinks.
  volatile std::uint32_t i = 0;
  while (i < iloop) i = i + 1u;
}

int daq_run(void* functionData) {
  auto* job = static_cast<RunJob*>(functionData);
  RunObserver quiet;
  Run run(job->config, job->observer ? *job->observer : quiet);
  job->report = run.take();
  return 0;
}
