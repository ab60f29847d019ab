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

constexpr std::size_t kKeyShift = 21;  // a word's key: its top 11 bits (kind, edge, channel)
constexpr std::uint32_t kTrailingEdge = 1u << 26;
// A measurement's value bits past the spectrum's last bin.
constexpr std::uint32_t kValueOverBins = 0x1FFFFFu & ~std::uint32_t(kTdcBins - 1);

// The loop's look-ups in one object, so one register addresses all three.
struct KeyTables {
  // By raw channel (a leading edge's key): its spectrum and its histogram channel.
  std::array<Bin*, 32> spectrum;
  std::array<std::uint8_t, 32> channel;
  // By key: a measurement's histogram-channel seen flag, 0 for every other
  // kind of word. So the common word costs a shift, a load and a test, and
  // the kinds are told apart only on the rare path.
  std::array<std::uint32_t, (1u << (32 - kKeyShift))> seen;
};
constexpr KeyTables kKeys = [] {
  KeyTables t{};
  for (int raw = 0; raw < 32; ++raw) {
    t.spectrum[static_cast<std::size_t>(raw)] = dtdc[kTdcHistChannel[raw]][0].bins;
    t.channel[static_cast<std::size_t>(raw)] = kTdcHistChannel[raw];
  }
  for (int key = 0; key < 64; ++key) t.seen[static_cast<std::size_t>(key)] = 1u << kTdcHistChannel[key & 31];
  return t;
}();

}  // namespace

int tdc_decode_words(const std::uint32_t* words, int n, EventTable& ev) {
  std::uint32_t hit = ev.tdcchhit;
  int trailers = 0;
  // Written for the fewest instructions per word: kind, edge and range are
  // tested in the word itself in one go, so the key stays in its register,
  // and an in-range value (bits 16-20 clear) is the word's low half.
#pragma GCC unroll 4
  for (int i = 0; i < n; ++i) {
    const std::uint64_t w = words[i];  // 64 bits: the key needs no widening to index
    const std::size_t key = w >> kKeyShift;
    const std::uint32_t bit = kKeys.seen[key];
    if (hit & bit) continue;
    hit |= bit;
    if ((w & (kTdcWordKind | kTrailingEdge | kValueOverBins)) == 0) [[likely]] {
      // A leading edge's key is its raw channel.
      const auto value = static_cast<std::uint32_t>(w & 0xFFFF);
      ev.tdc[kKeys.channel[key]] = value;
      spectrum_add(kKeys.spectrum[key][value]);
      continue;
    }
    // Not a measurement, a trailing edge seen first, or a value past the
    // last bin.
    const auto kind = static_cast<std::uint32_t>(w & kTdcWordKind);
    if (kind == 0) {
      if ((w & kTrailingEdge) == 0)
        tdc_keep_hit(ev, kKeys.channel[key & 31], static_cast<std::uint32_t>(w & 0x1FFFFF));
    } else if (kind == kTdcGlobalHeader) {
      hit = 0;
    } else if (kind == kTdcGlobalTrailer) {
      ++trailers;
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
