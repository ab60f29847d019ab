// Event decoding: the TDC output-buffer words and the EASIROC frame words
// of one trigger into the per-event table, the spectra and the event record.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

#include "runfile.h"
#include "live_histograms.h"

// TDC channel -> histogram channel (identity; kept as a table so a cabling
// change is one edit).
inline constexpr int tdcmap[32] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                   11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                   22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

// The histogram channel a raw TDC channel fills: the map, then 1..15 moved
// down by one (raw 0 and 1 share channel 0; channel 15 stays empty).
inline constexpr std::array<std::uint8_t, 32> kTdcHistChannel = [] {
  std::array<std::uint8_t, 32> out{};
  for (int raw = 0; raw < 32; ++raw) {
    int ch = tdcmap[raw];
    if (ch >= 1 && ch <= 15) ch -= 1;
    out[raw] = static_cast<std::uint8_t>(ch);
  }
  return out;
}();
static_assert([] {
  for (auto ch : kTdcHistChannel)
    if (ch >= 32) return false;
  return true;
}(), "every map entry must name one of the 32 histogram channels");

// Per-event working data: the TDC part cleared at the start of every event
// cycle, the ADC part set by the board classification. Quantity by quantity
// rather than channel by channel: the record takes the TDC values and the
// gain-0 ADC values as two runs of 32, and packing them from contiguous
// values takes a third of the time of gathering them from rows.
struct EventTable {
  // By histogram channel: the kept TDC value (0: none).
  std::array<std::uint32_t, 32> tdc{};
  // By channel: the last ADC value of gain range 0 and of gain range 1
  // (adjacent, as the board sends a channel's two words).
  std::array<std::array<std::uint32_t, 2>, 32> adc{};
  // Bit ch: histogram channel ch was seen in the current TDC event.
  std::uint32_t tdcchhit = 0;
  // By stores: as one block the compiler clears it with a string
  // instruction whose start-up costs more than the stores it replaces.
  void clear() {
    clear_tdc();
    clear_adc();
  }
  // The run clears only the TDC part per event: esrc_classify sets every
  // ADC value of the table.
  void clear_tdc() {
#pragma GCC unroll 32
    for (auto& v : tdc) v = 0;
    tdcchhit = 0;
  }
  void clear_adc() {
#pragma GCC unroll 32
    for (auto& pair : adc) pair = {};
  }
};

// Where the TDC word dump goes (console and/or "TDCout.txt").
struct TdcDebug {
  bool term = false;
  std::FILE* file = nullptr;
  bool any() const { return term || file; }
};

// Decodes one output-buffer word; returns true for a global trailer.
bool tdc_decode_word_full(std::uint32_t w, EventTable& ev, const TdcDebug& dbg);
inline void tdc_keep_hit(EventTable& ev, int tdcch, std::uint32_t tdc_ev) {
  ev.tdc[tdcch] = tdc_ev;
  if (tdc_ev < 65536)
    spectrum_add(dtdc[tdcch][0][tdc_ev]);
  else
    tdc_overflow[tdcch].store(tdc_overflow[tdcch].load(std::memory_order_relaxed) + 1,
                              std::memory_order_relaxed);
}

constexpr std::uint32_t kTdcWordKind = 0xF8000000u;
constexpr std::uint32_t kTdcGlobalHeader = 0x40000000u;
constexpr std::uint32_t kTdcGlobalTrailer = 0x80000000u;
inline bool tdc_is_global_trailer(std::uint32_t w) { return (w & kTdcWordKind) == kTdcGlobalTrailer; }

// The measurement words of a read-out without the debug dump take the short
// way: a mask, a table look-up and at most one increment, inline. Only the
// first word of a channel in a TDC event counts, and only if it is a
// leading edge.
inline bool tdc_decode_word(std::uint32_t w, EventTable& ev, const TdcDebug& dbg) {
  if ((w & kTdcWordKind) != 0 || dbg.any()) [[unlikely]]
    return tdc_decode_word_full(w, ev, dbg);
  const unsigned tdcch = kTdcHistChannel[(w >> 21) & 31];
  const std::uint32_t bit = 1u << tdcch;
  if (ev.tdcchhit & bit) return false;
  ev.tdcchhit |= bit;
  if ((w & (1u << 26)) == 0) tdc_keep_hit(ev, static_cast<int>(tdcch), w & 0x1FFFFF);
  return false;
}

// The words of one read-out at once, without the debug dump: the same as
// tdc_decode_word on each, with the seen-channel flags kept in a register.
// Returns the number of global trailers.
int tdc_decode_words(const std::uint32_t* words, int n, EventTable& ev);

// Classifies the EASIROC data words of one frame by gain range into the
// table and the ADC spectra. Sets every ADC value of the table: 0 where the
// frame has no word, all 0 for a negative ndat (no frame). Never looks past
// the 100 words of the event buffer.
void esrc_classify(const std::uint32_t* data, int ndat, EventTable& ev);

// Save rule. `fracg` receives the draw when one is made.
struct SaveRule {
  int dsave = 0;
  int supr0 = 0;
  int tdcmin = 0;
  float frac = 0;
};
bool save_decision(const SaveRule& rule, const EventTable& ev, double* fracg);

void pack_evtrec(const EventTable& ev, EVTREC& rec);

// Words read from the output buffer in one read-out before the station
// gives up waiting for the global trailers it expects.
constexpr int kTdcMaxWordsPerReadout = 16384;
