// The shared trigger source. No thread of its own: a trigger is made when
// one side asks for it (the TDC model at a status read, the board waiting
// for a frame) and it is due; its other half is queued for the other side,
// so each trigger reaches each side exactly once.
#include "trigger_source.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>

namespace mdq::sim {
namespace {

using Clock = std::chrono::steady_clock;

// Bound of each side's queue: a side nobody reads (no board beside the
// crate) must not grow without limit.
constexpr std::size_t kQueueLimit = 1024;

class SharedSource final : public TriggerSource {
 public:
  void setRate(double hz) override {
    std::lock_guard lock(mu_);
    rate_ = hz > 0 ? hz : 0;
    nextDue_ = Clock::now() + interval();
  }
  void setSeed(std::uint64_t seed) override {
    std::lock_guard lock(mu_);
    seed_ = seed;
    rng_.seed(seed);
  }
  void setFreeRunning(bool on) override {
    {
      std::lock_guard lock(mu_);
      if (on && !freeRunning_) nextDue_ = Clock::now() + interval();
      freeRunning_ = on;
    }
    cv_.notify_all();
  }
  void setTagged(bool on) override {
    std::lock_guard lock(mu_);
    tagged_ = on;
  }
  void reset() override {
    {
      std::lock_guard lock(mu_);
      number_ = 0;
      generated_ = 0;
      tagged_ = false;
      adcQueue_.clear();
      tdcQueue_.clear();
      rng_.seed(seed_);
      nextDue_ = Clock::now() + interval();
    }
    cv_.notify_all();
  }

  void setVeto(bool on) override {
    {
      std::lock_guard lock(mu_);
      if (veto_ && !on) nextDue_ = Clock::now() + interval();
      veto_ = on;
    }
    cv_.notify_all();
  }
  bool veto() const override {
    std::lock_guard lock(mu_);
    return veto_;
  }

  std::optional<TriggerRecord> takeTdcEvent() override {
    std::lock_guard lock(mu_);
    if (!tdcQueue_.empty()) {
      TriggerRecord r = tdcQueue_.front();
      tdcQueue_.pop_front();
      return r;
    }
    if (!armed() || Clock::now() < nextDue_) return std::nullopt;
    TriggerRecord r = fire();
    push(adcQueue_, r);
    cv_.notify_all();
    return r;
  }

  std::optional<TriggerRecord> fireTdcNow() override {
    std::lock_guard lock(mu_);
    if (!armed()) return std::nullopt;
    const auto due = nextDue_;
    TriggerRecord r = fire();
    nextDue_ = due;  // the regular triggers keep their pace
    push(adcQueue_, r);
    cv_.notify_all();
    return r;
  }

  void discardTdcPending() override {
    std::lock_guard lock(mu_);
    tdcQueue_.clear();
  }

  std::optional<TriggerRecord> takeAdcFrame(std::chrono::milliseconds timeout) override {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(mu_);
    for (;;) {
      if (!adcQueue_.empty()) {
        TriggerRecord r = adcQueue_.front();
        adcQueue_.pop_front();
        return r;
      }
      // Triggers reach the board whether or not the TDC is being polled; the
      // TDC gets its half at its next status read.
      const auto now = Clock::now();
      if (armed() && now >= nextDue_) {
        TriggerRecord r = fire();
        push(tdcQueue_, r);
        return r;
      }
      if (now >= deadline) return std::nullopt;
      const auto until = armed() ? std::min(deadline, nextDue_) : deadline;
      cv_.wait_until(lock, until);
    }
  }

  std::uint64_t generated() const override {
    std::lock_guard lock(mu_);
    return generated_;
  }

 private:
  bool armed() const { return freeRunning_ || !veto_; }

  Clock::duration interval() const {
    if (rate_ <= 0) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate_));
  }

  static void push(std::deque<TriggerRecord>& q, const TriggerRecord& r) {
    if (q.size() >= kQueueLimit) q.pop_front();
    q.push_back(r);
  }

  TriggerRecord fire() {
    TriggerRecord r;
    r.number = ++number_;
    ++generated_;
    // Unthrottled behind a veto: one trigger per release, as a beam gated by
    // the veto gives at most one before the station sets it again.
    if (rate_ <= 0 && !freeRunning_)
      nextDue_ = Clock::time_point::max();
    else
      nextDue_ = Clock::now() + interval();
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> g(0.0, 1.0);

    // TDC: a timing peak per channel (25 ps counts after trigger-time
    // subtraction), jitter of about 1 ns, a pulse width, sometimes a late
    // second pulse.
    auto add = [&](unsigned ch, bool trailing, double value) {
      if (r.nhits >= r.hits.size()) return;
      const auto v = static_cast<std::uint32_t>(std::clamp(value, 0.0, 2097151.0));
      r.hits[r.nhits++] = {static_cast<std::uint8_t>(ch), trailing, v};
    };
    if (tagged_) add(kTagChannel, false, kTagTdcBase | (r.number & 0xFFFF));
    for (unsigned ch = 0; ch < 32; ++ch) {
      if (u(rng_) > 0.9 || (tagged_ && ch == kTagChannel)) continue;
      const double lead = 8000.0 + 40.0 * ch + 40.0 * g(rng_);
      const double width = 600.0 + 60.0 * g(rng_);
      add(ch, false, lead);
      add(ch, true, lead + std::max(width, 40.0));
      if (u(rng_) < 0.1) {
        const double second = lead + 2000.0 + 4000.0 * u(rng_);
        add(ch, false, second);
        add(ch, true, second + std::max(width, 40.0));
      }
    }

    // ADC: a photo-sensor's charge spectrum. Pedestal of 100..200 per
    // channel; most triggers give a Poisson number of photoelectrons whose
    // single-p.e. peaks are resolved in the high-gain range (about 60 counts
    // each) and merge in the low-gain range (a tenth of that).
    std::poisson_distribution<int> npe(4.0);
    for (unsigned ch = 0; ch < 64; ++ch) {
      const double pedHigh = 100.0 + (ch * 37 % 100);
      const double pedLow = 100.0 + (ch * 53 % 100);
      const double gain = 60.0 * (1.0 + 0.15 * ((ch * 29 % 11) / 10.0 - 0.5));
      double signal = 0;
      if (u(rng_) < 0.7) {
        const int n = npe(rng_);
        signal = std::max(0.0, gain * n + 6.0 * std::sqrt(double(n)) * g(rng_));
      }
      const double high = pedHigh + 3.0 * g(rng_) + signal;
      const double low = pedLow + 2.0 * g(rng_) + signal / 10.0;
      r.adc[ch][0] = static_cast<std::uint16_t>(std::clamp(high, 0.0, 4095.0));
      r.adc[ch][1] = static_cast<std::uint16_t>(std::clamp(low, 0.0, 4095.0));
    }
    if (tagged_) r.adc[kTagChannel][0] = static_cast<std::uint16_t>(r.number & 0xFFF);
    return r;
  }

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::mt19937_64 rng_{20261209};
  std::uint64_t seed_ = 20261209;
  double rate_ = 300.0;
  bool veto_ = true;
  bool freeRunning_ = false;
  bool tagged_ = false;
  Clock::time_point nextDue_ = Clock::now();
  std::uint64_t number_ = 0;
  std::uint64_t generated_ = 0;
  std::deque<TriggerRecord> adcQueue_;
  std::deque<TriggerRecord> tdcQueue_;
};

}  // namespace

TriggerSource& shared_trigger_source() {
  static SharedSource source;
  return source;
}

}  // namespace mdq::sim
