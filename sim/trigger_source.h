// The simulated test stand's one trigger source, shared by the simulated
// crate (TDC side) and the EASIROC board emulator (ADC side): each trigger
// yields one TDC event and one ADC frame. It lives in libmdq_simstand.so so
// that the dlopen'd simulated driver and the in-process board emulator see
// the same instance.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

namespace mdq::sim {

// What the detector produced for one trigger.
struct TriggerRecord {
  std::uint64_t number = 0;  // 1, 2, 3, ... since the source was reset
  // TDC: up to a few hits per TDC channel (0..31), 21-bit values.
  struct TdcHit {
    std::uint8_t channel;
    bool trailing;
    std::uint32_t value;
  };
  std::array<TdcHit, 128> hits{};
  std::uint32_t nhits = 0;
  // ADC: one 12-bit value per EASIROC channel (0..63) and gain (0 = high, 1 = low).
  std::array<std::array<std::uint16_t, 2>, 64> adc{};
};

class TriggerSource {
 public:
  virtual ~TriggerSource() = default;

  // Rate of triggers while the veto is released, Hz; 0 = unthrottled (a
  // trigger is due as soon as the veto is released).
  virtual void setRate(double hz) = 0;
  virtual void setSeed(std::uint64_t seed) = 0;
  // Free-running: triggers fire at the rate regardless of the veto (a board
  // emulator with no crate beside it).
  virtual void setFreeRunning(bool on) = 0;
  virtual void reset() = 0;
  // Tagged triggers: TDC channel 31's leading edge carries 0x10000 plus the
  // low 16 bits of the trigger number, and ADC channel 31's high-gain value
  // its low 12 bits, so a stored event shows which trigger each half came
  // from (the TDC value lies beyond the spectrum and is never histogrammed).
  virtual void setTagged(bool on) = 0;

  // Crate side: the PIO veto output bit (true = veto on, no triggers).
  virtual void setVeto(bool on) = 0;
  virtual bool veto() const = 0;
  // Crate side: a trigger that has fired and not yet been taken by the TDC
  // model, if any (non-blocking; the model polls it from its status read).
  virtual std::optional<TriggerRecord> takeTdcEvent() = 0;
  // Crate side: a trigger now, whatever the rate says, if the veto lets one
  // through (a second particle right behind the first).
  virtual std::optional<TriggerRecord> fireTdcNow() = 0;
  // Crate side: a TDC clear loses the triggers that reached it and were not
  // yet taken by the model (they fired while the board was waiting).
  virtual void discardTdcPending() = 0;

  // Board side: the ADC part of the next trigger not yet taken by the
  // board, waiting at most `timeout` for one to fire.
  virtual std::optional<TriggerRecord> takeAdcFrame(std::chrono::milliseconds timeout) = 0;

  // Counters for tests and the endurance check.
  virtual std::uint64_t generated() const = 0;
};

// The trigger number a tagged event's TDC and ADC halves carry (low 16 and
// low 12 bits); nullopt when the TDC half has no tag.
constexpr std::uint32_t kTagTdcBase = 0x10000;
constexpr unsigned kTagChannel = 31;

// The process-wide source.
TriggerSource& shared_trigger_source();

}  // namespace mdq::sim
