#include "decode.h"

#include <array>
#include <cstdarg>
#include <cstring>

#include "platform.h"
#include "live_histograms.h"

namespace {

void dbgLine(const TdcDebug& d, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void dbgLine(const TdcDebug& d, const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (d.term) con_write(buf);
  if (d.file) std::fputs(buf, d.file);
}

}  // namespace

bool tdc_decode_word_full(std::uint32_t w, EventTable& ev, const TdcDebug& dbg) {
  switch (w & kTdcWordKind) {
    case kTdcGlobalHeader:
      ev.tdcchhit = 0;
      if (dbg.any()) dbgLine(dbg, ">>> GLOBAL HEADER | event count = %d\n", static_cast<int>((w & 0x07FFFFFF) >> 5));
      return false;
    case 0x08000000u:
      if (dbg.any())
        dbgLine(dbg, ">>> TDC HEADER | Event ID =%d | Bunch ID = %d\n",
                static_cast<int>((w & 0x00FFFFFF) >> 12), static_cast<int>(w & 0xFFF));
      return false;
    case 0x00000000u: {  // measurement
      const std::uint32_t raw = (w & 0x03FFFFFF) >> 21;
      const std::uint32_t tdc_ev = w & 0x1FFFFF;
      const int tdc_edge = static_cast<int>((w >> 26) & 1);
      if (dbg.any())
        dbgLine(dbg, ">>> TDC Measurement !!!!!!!! >>> CH = %d | edge = %d | ev = %d\n",
                static_cast<int>(raw), static_cast<int>((w & 0x07FFFFFF) >> 26),
                static_cast<int>(tdc_ev));
      const int tdcch = kTdcHistChannel[raw & 31];
      if (dbg.any())
        dbgLine(dbg, ">>> tdcch = %d | tdc_ev = %d | raw = %d\n", tdcch, static_cast<int>(tdc_ev),
                static_cast<int>(w));
      const std::uint32_t bit = 1u << tdcch;
      if (!(ev.tdcchhit & bit) && tdc_edge == 0) {
        tdc_keep_hit(ev, tdcch, tdc_ev);
        if (dbg.any())
          dbgLine(dbg, ">>>>>> TDC Measurement saved >>> CH = %d | edge = %d | ev = %d\n", tdcch,
                  tdc_edge, static_cast<int>(tdc_ev));
      }
      ev.tdcchhit |= bit;
      return false;
    }
    case 0x18000000u:
      if (dbg.any()) dbgLine(dbg, ">>> TDC Trailer | Event ID =%d\n", static_cast<int>((w & 0x00FFFFFF) >> 12));
      return false;
    case 0x20000000u:
      if (dbg.any()) dbgLine(dbg, ">>> TDC Error = %d\n", static_cast<int>(w & 0x7FFF));
      return false;
    case 0x88000000u:
      if (dbg.any()) dbgLine(dbg, ">>> Extended Trigger Time Tag \n");
      return false;
    case 0xC0000000u:
      if (dbg.any()) dbgLine(dbg, ">>> Filler \n");
      return false;
    case kTdcGlobalTrailer: {
      const int num_hits = static_cast<int>((w & 0x001FFFFF) >> 5) - 2;
      if (dbg.term) {
        // Status bits 26, 25, 24: trigger lost, buffer overflow, TDC error.
        char line[128];
        std::snprintf(line, sizeof line, ">>> The Trailer | status bits: %d%d%d | num_hits = %d\n",
                      static_cast<int>((w >> 26) & 1), static_cast<int>((w >> 25) & 1),
                      static_cast<int>((w >> 24) & 1), num_hits);
        con_write(line);
      }
      if (dbg.file) std::fprintf(dbg.file, ">>> The Trailer | num_hits = %d\n", num_hits);
      return true;
    }
    default:
      return false;
  }
}

namespace {

// Indexed by a measurement word's bits 21-26 (the edge above the raw
// channel): the histogram channel's seen flag, so the common word costs a
// shift, a load and a test.
constexpr auto kSeenBitByKey = [] {
  std::array<std::uint32_t, 64> out{};
  for (int key = 0; key < 64; ++key) out[static_cast<std::size_t>(key)] = 1u << kTdcHistChannel[key & 31];
  return out;
}();
constexpr std::uint32_t kTrailingEdge = 1u << 26;
// A measurement's value bits past the spectrum's last bin.
constexpr std::uint32_t kValueOverBins = 0x1FFFFFu & ~std::uint32_t(kTdcBins - 1);

// Where a kept leading edge goes, by key: its spectrum.
constexpr auto kSpectrumByKey = [] {
  std::array<Bin*, 32> out{};
  for (int key = 0; key < 32; ++key) out[static_cast<std::size_t>(key)] = dtdc[kTdcHistChannel[key]][0].bins;
  return out;
}();

}  // namespace

int tdc_decode_words(const std::uint32_t* words, int n, EventTable& ev) {
  std::uint32_t hit = ev.tdcchhit;
  int trailers = 0;
  // Written for the fewest instructions per word: the edge and the range
  // are tested in the word itself in one go, so the key stays in its
  // register, and an in-range value (bits 16-20 clear) is the word's low half.
#pragma GCC unroll 4
  for (int i = 0; i < n; ++i) {
    const std::uint32_t w = words[i];
    if (w > ~kTdcWordKind) [[unlikely]] {  // not a measurement
      const std::uint32_t kind = w & kTdcWordKind;
      if (kind == kTdcGlobalHeader) hit = 0;
      else if (kind == kTdcGlobalTrailer) ++trailers;
      continue;
    }
    const std::size_t key = w >> 21;
    const std::uint32_t bit = kSeenBitByKey[key];
    if (hit & bit) continue;
    hit |= bit;
    const std::size_t ch = kTdcHistChannel[key];
    // A leading edge in the spectrum's range; trailing edges that come
    // first and values past the last bin are the rare case.
    if ((w & (kTrailingEdge | kValueOverBins)) == 0) [[likely]] {
      const std::uint32_t value = w & 0xFFFF;
      ev.tdc[ch] = value;
      spectrum_add(kSpectrumByKey[key][value]);
    } else if ((w & kTrailingEdge) == 0) {
      tdc_keep_hit(ev, static_cast<int>(ch), w & 0x1FFFFF);
    }
  }
  ev.tdcchhit = hit;
  return trailers;
}

namespace {

// The board's usual frame: 64 words, channel by channel, gain range 0 then 1.
constexpr int kUsualFrameWords = 64;
constexpr std::uint32_t kTypeAndChannel = 0xFF1F0000u;
constexpr auto kUsualFrame = [] {
  std::array<std::uint32_t, kUsualFrameWords> p{};
  for (int i = 0; i < kUsualFrameWords; ++i)
    p[static_cast<std::size_t>(i)] = (i % 2 ? 0x60u : 0x81u) << 24 | static_cast<std::uint32_t>(i / 2) << 16;
  return p;
}();

bool is_usual_frame(const std::uint32_t* data, int ndat) {
  if (ndat != kUsualFrameWords) return false;
  std::uint32_t diff = 0;  // no early exit: the loop vectorises
  for (int i = 0; i < kUsualFrameWords; ++i)
    diff |= (data[i] & kTypeAndChannel) ^ kUsualFrame[static_cast<std::size_t>(i)];
  return diff == 0;
}

// The same table and spectra as the general loop, with every word's row
// known in advance: no type tests and no address arithmetic per word.
void classify_usual_frame(const std::uint32_t* data, EventTable& ev) {
  // A channel's two words and its two table entries are adjacent: one
  // 64-bit load, mask and store for both.
  constexpr std::uint64_t kBothValues = 0x00000FFF'00000FFFull;
#pragma GCC unroll 32
  for (int ch = 0; ch < kChannels; ++ch) {
    std::uint64_t pair;
    std::memcpy(&pair, data + 2 * ch, sizeof pair);
    pair &= kBothValues;
    std::memcpy(ev.adc[static_cast<std::size_t>(ch)].data(), &pair, sizeof pair);
    spectrum_add(dadc[ch][0][static_cast<std::uint32_t>(pair)]);
    spectrum_add(dadc[ch][1][pair >> 32]);
  }
}

}  // namespace

void esrc_classify(const std::uint32_t* data, int ndat, EventTable& ev) {
  if (is_usual_frame(data, ndat)) {  // every value written
    classify_usual_frame(data, ev);
    return;
  }
  ev.clear_adc();
  const int n = ndat < 100 ? ndat : 100;
  for (int i = 0; i < n; ++i) {
    const std::uint32_t w = data[i];
    const std::uint32_t dtype = w >> 24;
    if (dtype != 0x81 && dtype != 0x60) [[unlikely]] {
      if (dtype == 0xCC) con_printf("EASIROC TDC: esrcdata[i] = 0x%X !?!?!?\n", w);
      else con_printf("EASIROC default: esrcdata[i] = 0x%X !!!\n", w);
      continue;
    }
    // Gain range 1 (0x60) is the one of the two types with bit 29 set.
    const std::uint32_t rg = (w >> 29) & 1;
    const std::uint32_t ch = (w >> 16) & 0x1F;
    const std::uint32_t adc = w & 0xFFF;
    ev.adc[ch][rg] = adc;
    spectrum_add(dadc[ch][rg][adc]);
  }
}

bool save_decision(const SaveRule& rule, const EventTable& ev, double* fracg) {
  bool esave = rule.dsave != 0;
  if (rule.supr0 && esave) {
    double g = 0;
    Uniform(1, -1, &g);
    if (fracg) *fracg = g;
    if (g > static_cast<double>(rule.frac)) {
      esave = false;
      const auto threshold = static_cast<std::uint32_t>(rule.tdcmin);
      for (int i = 0; i < 32; ++i)
        if (ev.tdc[i] >= threshold) {
          esave = true;
          break;
        }
    }
  }
  return esave;
}

void pack_evtrec(const EventTable& ev, EVTREC& rec) {
  for (int i = 0; i < 32; ++i) {
    rec.data[i] = static_cast<std::uint16_t>(ev.tdc[i]);
    rec.data[32 + i] = static_cast<std::uint16_t>(ev.adc[i][0]);
  }
}
