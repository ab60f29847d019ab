#include "run_map.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "live_histograms.h"
#include "platform.h"

namespace {
std::mutex g_srcMutex;
MapSource g_src;

// The position the run is taking, whose spectra the live histograms hold.
struct LivePosition {
  bool on = false;
  int ix = 0, iy = 0;
};
LivePosition g_live;  // run thread only
std::uint64_t g_droppedAtStart = 0;  // run thread only

struct FitJob {
  ScanMap* map;
  unsigned generation;
  int ix, iy;
  std::unique_ptr<PositionCuts> cuts;
};

// One thread fits the positions in the order the run left them. Behind by
// more than kBacklog positions it drops the newest: the run never waits.
class Fitter {
 public:
  static constexpr std::size_t kBacklog = 64;

  ~Fitter() {
    {
      std::lock_guard lk(m_);
      quit_ = true;
    }
    cv_.notify_all();
    if (t_.joinable()) t_.join();
  }

  void push(FitJob job) {
    std::lock_guard lk(m_);
    if (jobs_.size() >= kBacklog) {
      ++dropped_;
      return;
    }
    if (!t_.joinable()) t_ = std::thread([this] { loop(); });
    jobs_.push_back(std::move(job));
    cv_.notify_all();
  }

  bool wait_idle(std::chrono::milliseconds limit) {
    std::unique_lock lk(m_);
    return cv_.wait_for(lk, limit, [this] { return jobs_.empty() && !busy_; });
  }

  std::uint64_t dropped() {
    std::lock_guard lk(m_);
    return dropped_;
  }

 private:
  void loop() {
    std::unique_lock lk(m_);
    for (;;) {
      cv_.wait(lk, [this] { return quit_ || !jobs_.empty(); });
      if (quit_) return;
      FitJob job = std::move(jobs_.front());
      jobs_.pop_front();
      busy_ = true;
      lk.unlock();
      const PositionPeaks peaks = fit_position(*job.cuts);
      job.map->set_peaks(job.ix, job.iy, job.generation, peaks);
      lk.lock();
      busy_ = false;
      cv_.notify_all();
    }
  }

  std::mutex m_;
  std::condition_variable cv_;
  std::deque<FitJob> jobs_;
  bool busy_ = false, quit_ = false;
  std::uint64_t dropped_ = 0;
  std::thread t_;
};

Fitter& fitter() {
  static Fitter f;
  return f;
}

// Hands the live spectra of the position being left to the fitter.
void fit_live_position() {
  if (!g_live.on) return;
  g_live.on = false;
  ScanMap& map = shown_scan_map();
  auto cuts = std::make_unique<PositionCuts>();
  for (int ch = 0; ch < kChannels; ++ch) {
    const auto k = static_cast<std::size_t>(ch);
    (*cuts)[0][k] = cut_peak(std::span<const Bin>(dtdc[ch][0]));
    (*cuts)[1][k] = cut_peak(std::span<const Bin>(dadc[ch][0]));
    (*cuts)[2][k] = cut_peak(std::span<const Bin>(dadc[ch][1]));
  }
  fitter().push({&map, map.generation(), g_live.ix, g_live.iy, std::move(cuts)});
}

// A stored position's spectra as the run filled them from the same events
// (see fill_from_event in replay.cpp): the kept TDC value and the gain-0 ADC
// value of each channel, 0 meaning none.
class StoredSpectra {
 public:
  StoredSpectra() : tdc_(kChannels * kTdcBins, 0), adc_(kChannels * kAdcBins, 0) {
    clear();
  }
  void add(const std::array<std::uint16_t, 64>& data) {
    for (int ch = 0; ch < kChannels; ++ch) {
      const std::uint16_t t = data[static_cast<std::size_t>(ch)];
      if (t != 0) bump(tdc_, ch, kTdcBins, t, tdcSpan_[static_cast<std::size_t>(ch)]);
      const std::uint16_t a = data[static_cast<std::size_t>(32 + ch)];
      if (a != 0 && a < kAdcBins) bump(adc_, ch, kAdcBins, a, adcSpan_[static_cast<std::size_t>(ch)]);
    }
  }
  PositionCuts cuts() const {
    PositionCuts c;
    for (int ch = 0; ch < kChannels; ++ch) {
      const auto k = static_cast<std::size_t>(ch);
      c[0][k] = cut_peak(spectrum(tdc_, ch, kTdcBins));
      c[1][k] = cut_peak(spectrum(adc_, ch, kAdcBins));
      // No gain-1 ADC value is stored: that cut stays empty.
    }
    return c;
  }
  // Clears only the bins filled: a position holds few of the 2 M.
  void clear() {
    for (int ch = 0; ch < kChannels; ++ch) {
      wipe(tdc_, ch, kTdcBins, tdcSpan_[static_cast<std::size_t>(ch)]);
      wipe(adc_, ch, kAdcBins, adcSpan_[static_cast<std::size_t>(ch)]);
    }
  }

 private:
  struct Span {
    int lo = 0, hi = -1;
  };
  static std::span<const std::int32_t> spectrum(const std::vector<std::int32_t>& v, int ch,
                                                int n) {
    return std::span<const std::int32_t>(v).subspan(static_cast<std::size_t>(ch * n),
                                                    static_cast<std::size_t>(n));
  }
  static void bump(std::vector<std::int32_t>& v, int ch, int n, int bin, Span& s) {
    ++v[static_cast<std::size_t>(ch * n + bin)];
    if (s.hi < s.lo) s = {bin, bin};
    s.lo = std::min(s.lo, bin);
    s.hi = std::max(s.hi, bin);
  }
  static void wipe(std::vector<std::int32_t>& v, int ch, int n, Span& s) {
    if (s.hi >= s.lo)
      std::fill(v.begin() + ch * n + s.lo, v.begin() + ch * n + s.hi + 1, 0);
    s = {};
  }
  std::vector<std::int32_t> tdc_, adc_;
  std::array<Span, kChannels> tdcSpan_{}, adcSpan_{};
};

}  // namespace

ScanMap& shown_scan_map() {
  static ScanMap map;
  return map;
}

MapSource shown_map_source() {
  std::lock_guard lk(g_srcMutex);
  return g_src;
}

void scan_map_run_start(const RUNREC& run) {
  g_live.on = false;
  g_droppedAtStart = fitter().dropped();
  if (!shown_scan_map().reset({run.nx, run.ny, run.x0, run.dx, run.y0, run.dy}) && run.nx > 0 &&
      run.ny > 0)
    con_printf("Scan map off for this run: %d x %d positions are more than the %d it keeps.\n",
               run.nx, run.ny, ScanMap::kMaxCells);
  std::lock_guard lk(g_srcMutex);
  g_src = MapSource{};
}

void scan_map_position(const POSREC& pos) {
  fit_live_position();
  shown_scan_map().position(pos.ix, pos.iy, pos.xset, pos.yset);
  g_live = {true, pos.ix, pos.iy};
}

void scan_map_event(const EventTable& ev, bool saved) { shown_scan_map().event(ev.tdc, ev.adc, saved); }

void scan_map_scan_end() { fit_live_position(); }

// The run reports its end once its map is complete, unless the fits are far
// behind.
void scan_map_run_end() {
  fit_live_position();
  fitter().wait_idle(std::chrono::seconds(2));
  if (const std::uint64_t n = fitter().dropped() - g_droppedAtStart)
    con_printf("Scan map: %llu position(s) without fitted peaks (the fits fell behind the run).\n",
               static_cast<unsigned long long>(n));
}

bool scan_map_fits_done(std::chrono::milliseconds limit) { return fitter().wait_idle(limit); }

std::uint64_t scan_map_fits_dropped() { return fitter().dropped(); }

int scan_map_from_run(const std::vector<std::string>& files, const ReplaySelection& sel,
                      ScanMap& map, ReplayResult* result) {
  bool haveGrid = false;
  auto spectra = std::make_unique<StoredSpectra>();
  LivePosition at;
  auto fit_position_left = [&] {
    if (!at.on) return;
    map.set_peaks(at.ix, at.iy, map.generation(), fit_position(spectra->cuts()));
    spectra->clear();
    at.on = false;
  };
  // Every file of a series starts with the run header; the first one sets the grid.
  const int rc = replay_load(files, sel, result, [&](const RunFileRecord& rec) {
    if (rec.id == RUNREC_ID && !haveGrid) {
      haveGrid = true;
      map.reset({rec.run.nx, rec.run.ny, rec.run.x0, rec.run.dx, rec.run.y0, rec.run.dy});
    } else if (rec.id == POSREC_ID) {
      fit_position_left();
      map.position(rec.pos.ix, rec.pos.iy, rec.pos.xset, rec.pos.yset);
      at = {true, rec.pos.ix, rec.pos.iy};
    } else if (rec.id == EVTREC_ID) {
      map.stored_event(rec.evt.data);
      if (at.on) spectra->add(rec.evt.data);
    }
  });
  fit_position_left();
  if (rc == 0 && !haveGrid) map.reset({});
  return rc;
}

int load_stored_run(const std::vector<std::string>& files, const ReplaySelection& sel,
                    ReplayResult* result) {
  const int rc = scan_map_from_run(files, sel, shown_scan_map(), result);
  if (rc == 0) {
    std::lock_guard lk(g_srcMutex);
    g_src.stored = true;
    g_src.files = files;
  }
  return rc;
}
