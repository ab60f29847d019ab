// Event decoding: the TDC output-buffer words and the EASIROC frame words
// of one trigger into the per-event table, the spectra and the event record.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

#include "runfile.h"

// TDC channel -> histogram channel (identity; kept as a table so a cabling
// change is one edit).
extern int tdcmap[32];

// Per-event working data, cleared at the start of every event cycle.
struct EventTable {
  // Row ch: [0] kept TDC value, [1] unused, [2] last ADC value of gain
  // range 0, [3] last ADC value of gain range 1.
  std::array<std::array<std::uint32_t, 4>, 32> aa{};
  std::array<std::uint8_t, 32> tdcchhit{};
  void clear() {
    aa = {};
    tdcchhit = {};
  }
};

// Where the TDC word dump goes (console and/or "TDCout.txt").
struct TdcDebug {
  bool term = false;
  std::FILE* file = nullptr;
  bool any() const { return term || file; }
};

// Decodes one output-buffer word; returns true for a global trailer.
bool tdc_decode_word(std::uint32_t w, EventTable& ev, const TdcDebug& dbg);

// Classifies the EASIROC data words of one frame by gain range into the
// table and the ADC spectra. A negative ndat classifies nothing; never
// looks past the 100 words of the event buffer.
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
