#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include "backend.h"
#include "decode.h"
#include "platform.h"
#include "live_histograms.h"

namespace {
constexpr std::uint32_t kGlobalHeader = 0x40000000, kGlobalTrailer = 0x80000000;
std::uint32_t meas(std::uint32_t ch, bool trailing, std::uint32_t value) {
  return (ch << 21) | (trailing ? 1u << 26 : 0u) | (value & 0x1FFFFF);
}
bool feed(EventTable& ev, std::initializer_list<std::uint32_t> words) {
  bool trailer = false;
  for (auto w : words) trailer = tdc_decode_word(w, ev, TdcDebug{});
  return trailer;
}
}  // namespace

class Decode : public ::testing::Test {
 protected:
  void SetUp() override { spectra_clear(); }
  EventTable ev;
};

TEST_F(Decode, FirstLeadingEdgeKeptPerChannel) {
  EXPECT_TRUE(feed(ev, {kGlobalHeader, 0x08000000, meas(5, false, 1000), meas(5, false, 2000),
                        meas(5, true, 1500), 0x18000000, kGlobalTrailer | (4 << 5)}));
  EXPECT_EQ(ev.tdc[4], 1000u);  // raw channel 5 -> histogram channel 4
  EXPECT_EQ(dtdc[4][0][1000].load(), 1);
  EXPECT_EQ(dtdc[4][0][2000].load(), 0);
}

TEST_F(Decode, TrailingEdgeFirstBlocksTheChannel) {
  feed(ev, {kGlobalHeader, meas(7, true, 300), meas(7, false, 400), kGlobalTrailer});
  EXPECT_EQ(ev.tdc[6], 0u);
  EXPECT_EQ(dtdc[6][0][400].load(), 0);
}

TEST_F(Decode, ChannelMapping) {
  // Raw 1 -> 0, raw 0 -> 0 too, 15 -> 14, 16 and up unchanged; 15 stays empty.
  feed(ev, {kGlobalHeader, meas(1, false, 11), meas(16, false, 12), meas(31, false, 13),
            meas(15, false, 14)});
  EXPECT_EQ(ev.tdc[0], 11u);
  EXPECT_EQ(ev.tdc[16], 12u);
  EXPECT_EQ(ev.tdc[31], 13u);
  EXPECT_EQ(ev.tdc[14], 14u);
  EXPECT_EQ(ev.tdc[15], 0u);
  EventTable ev2;
  feed(ev2, {kGlobalHeader, meas(0, false, 21), meas(1, false, 22)});
  EXPECT_EQ(ev2.tdc[0], 21u);  // raw 0 came first and blocks raw 1
}

TEST_F(Decode, TwoTdcEventsInOneReadout) {
  feed(ev, {kGlobalHeader, meas(3, false, 100), meas(4, false, 101), kGlobalTrailer,
            kGlobalHeader, meas(3, false, 200), kGlobalTrailer});
  EXPECT_EQ(ev.tdc[2], 200u);  // the second event's first hit
  EXPECT_EQ(ev.tdc[3], 101u);  // kept from the first event
  EXPECT_EQ(dtdc[2][0][100].load() + dtdc[2][0][200].load(), 2);
}

TEST_F(Decode, LargeValueKeptButNotHistogrammed) {
  feed(ev, {kGlobalHeader, meas(9, false, 70000)});
  EXPECT_EQ(ev.tdc[8], 70000u);
  EVTREC rec;
  pack_evtrec(ev, rec);
  EXPECT_EQ(rec.data[8], 4464);
  long total = 0;
  for (int b = 0; b < kTdcBins; ++b) total += dtdc[8][0][b].load();
  EXPECT_EQ(total, 0);
  // Counted past the last bin instead, for the channel's statistics; a
  // later (ignored) hit of the event and the last in-range value do not count.
  EXPECT_EQ(tdc_overflow[8].load(), 1u);
  feed(ev, {meas(9, false, 80000), kGlobalHeader, meas(9, false, 65535)});
  EXPECT_EQ(tdc_overflow[8].load(), 1u);
  EXPECT_EQ(dtdc[8][0][65535].load(), 1);
  spectra_clear();
  EXPECT_EQ(tdc_overflow[8].load(), 0u);
}

TEST_F(Decode, EasirocWordsByGainRange) {
  std::uint32_t words[100] = {0x81030123, 0x81030456, 0x60030789, 0xCC000001, 0x12345678};
  mdq::platform::ConsoleCapture con;
  esrc_classify(words, 5, ev);
  EXPECT_EQ(ev.adc[3][0], 0x456u);  // later value stored
  EXPECT_EQ(ev.adc[3][1], 0x789u);
  EXPECT_EQ(dadc[3][0][0x123].load(), 1);
  EXPECT_EQ(dadc[3][0][0x456].load(), 1);
  EXPECT_EQ(dadc[3][1][0x789].load(), 1);
  EXPECT_NE(con.text().find("EASIROC TDC: esrcdata[i] = 0xCC000001 !?!?!?"), std::string::npos);
  EXPECT_NE(con.text().find("EASIROC default: esrcdata[i] = 0x12345678 !!!"), std::string::npos);
  EVTREC rec;
  pack_evtrec(ev, rec);
  EXPECT_EQ(rec.data[32 + 3], 0x456);
  // A failed read leaves every ADC value 0, whatever the table held before
  // (the run does not clear them per event); an oversized count stops at
  // the buffer.
  EventTable none;
  for (auto& pair : none.adc) pair = {0x111, 0x222};
  esrc_classify(words, -2, none);
  for (const auto& pair : none.adc) EXPECT_EQ(pair, (std::array<std::uint32_t, 2>{0, 0}));
  std::uint32_t full[100];
  for (auto& w : full) w = 0x81010001;
  EventTable big;
  esrc_classify(full, 150, big);
  EXPECT_EQ(dadc[1][0][1].load(), 100);
}

TEST_F(Decode, SaveRuleStatistics) {
  SaveRule rule{1, 1, 5000, 0.25f};
  double g;
  Uniform(1, 4242, &g);
  EventTable low;  // no channel reaches the threshold
  low.tdc[0] = 4999;
  int saved = 0;
  for (int i = 0; i < 20000; ++i) saved += save_decision(rule, low, &g);
  EXPECT_NEAR(saved / 20000.0, 0.25, 0.02);
  EventTable high;
  high.tdc[31] = 5000;
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(save_decision(rule, high, &g));
  // frac 1: all pass; saving off: nothing, and no draw is made.
  EXPECT_TRUE(save_decision({1, 1, 5000, 1.0f}, low, &g));
  g = -1;
  EXPECT_FALSE(save_decision({0, 1, 0, 0.5f}, high, &g));
  EXPECT_EQ(g, -1);
  // A negative threshold is a huge unsigned one.
  EventTable max;
  max.tdc[0] = 0x1FFFFF;
  int any = 0;
  for (int i = 0; i < 1000; ++i) any += save_decision({1, 1, -1, 0.0f}, max, &g);
  EXPECT_LT(any, 5);
}

namespace {
// The state decoding leaves behind, for comparing two ways of decoding.
struct Decoded {
  std::array<std::uint32_t, 32> tdc{};
  std::array<std::array<std::uint32_t, 2>, 32> adcValues{};
  std::uint32_t seen = 0;
  int trailers = 0;
  std::vector<std::int32_t> tdcLow;  // bins below 1024 of every channel
  std::vector<std::int32_t> adcBins;
  std::array<std::uint32_t, kChannels> overflow{};
  bool operator==(const Decoded&) const = default;
};
Decoded take(const EventTable& ev, int trailers) {
  Decoded d{ev.tdc, ev.adc, ev.tdcchhit, trailers, {}, {}, {}};
  for (int ch = 0; ch < kChannels; ++ch) {
    for (int b = 0; b < 1024; ++b) d.tdcLow.push_back(dtdc[ch][0][b].load());
    for (int rg = 0; rg < 2; ++rg)
      for (int b = 0; b < kAdcBins; ++b) d.adcBins.push_back(dadc[ch][rg][b].load());
    d.overflow[static_cast<std::size_t>(ch)] = tdc_overflow[ch].load();
  }
  return d;
}
}  // namespace

// The run decodes a drained read-out at once; it must leave exactly what
// decoding word by word leaves, carrying the seen-channel flags in and out.
TEST_F(Decode, ReadoutDecodedAtOnceMatchesWordByWord) {
  std::mt19937 rng(11);
  const std::uint32_t others[] = {kGlobalHeader, kGlobalTrailer | (9u << 5), 0x08000000, 0x18000000,
                                  0x20000012, 0x88000000, 0xC0000000};
  for (int trial = 0; trial < 40; ++trial) {
    std::vector<std::uint32_t> words;
    const int n = 1 + static_cast<int>(rng() % 120);
    for (int i = 0; i < n; ++i) {
      if (rng() % 5 == 0) {
        // Any bits below the kind: event counts, chip and bunch ids.
        words.push_back(others[rng() % std::size(others)] | (rng() & 0x07FFFFE0u));
        continue;
      }
      const std::uint32_t value = rng() % 8 == 0 ? 65536 + rng() % 100000 : rng() % 1024;
      words.push_back(meas(rng() % 32, rng() % 3 == 0, value));
    }
    const int split = static_cast<int>(rng() % static_cast<std::uint32_t>(n + 1));
    EventTable one;
    int trailersOne = 0;
    for (auto w : words) trailersOne += tdc_decode_word(w, one, TdcDebug{});
    const Decoded expected = take(one, trailersOne);
    spectra_clear();
    EventTable batch;
    int trailersBatch = 0;
    for (int i = 0; i < split; ++i) trailersBatch += tdc_decode_word(words[i], batch, TdcDebug{});
    trailersBatch += tdc_decode_words(words.data() + split, n - split, batch);
    ASSERT_TRUE(take(batch, trailersBatch) == expected) << "trial " << trial << ", split " << split;
    spectra_clear();
  }
}

// The board's usual frame (channel by channel, gain 0 then 1) is classified
// on a short path; any other frame on the general one. Both must agree, and
// a frame only resembling the usual one must not take the short path.
TEST_F(Decode, UsualFrameAndAnyOtherOrderAgree) {
  std::mt19937 rng(5);
  std::uint32_t usual[100], other[100];
  for (int ch = 0; ch < 32; ++ch) {
    usual[2 * ch] = 0x81000000u | std::uint32_t(ch) << 16 | (rng() & 0xFFF);
    usual[2 * ch + 1] = 0x60000000u | std::uint32_t(ch) << 16 | (rng() & 0xFFF);
    other[31 - ch] = usual[2 * ch];  // gain 0 first, channels backwards
    other[63 - ch] = usual[2 * ch + 1];
  }
  usual[7] |= 0x00E00000u;  // bits the classification ignores
  esrc_classify(usual, 64, ev);
  const Decoded fast = take(ev, 0);
  spectra_clear();
  EventTable ev2;
  esrc_classify(other, 64, ev2);
  ASSERT_TRUE(take(ev2, 0) == fast);
  EXPECT_EQ(ev.adc[5][1], usual[11] & 0xFFF);

  // Channel 0's gain 0 word twice, channel 1's missing: the later value is
  // kept and channel 1 is empty, even in a table holding the previous
  // event's values.
  std::uint32_t dup[100];
  std::copy(usual, usual + 64, dup);
  dup[2] = 0x81000000u | 0x777;
  EventTable ev3;
  esrc_classify(usual, 64, ev3);
  spectra_clear();
  esrc_classify(dup, 64, ev3);
  EXPECT_EQ(ev3.adc[0][0], 0x777u);
  EXPECT_EQ(ev3.adc[1][0], 0u);
  EXPECT_EQ(dadc[0][0][0x777].load(), 1);
  // A stray word inside an otherwise usual frame is reported, the rest kept.
  spectra_clear();
  std::uint32_t stray[100];
  std::copy(usual, usual + 64, stray);
  stray[40] = 0xCC000001;
  mdq::platform::ConsoleCapture con;
  EventTable ev4;
  esrc_classify(usual, 64, ev4);
  esrc_classify(stray, 64, ev4);
  EXPECT_NE(con.text().find("EASIROC TDC: esrcdata[i] = 0xCC000001 !?!?!?"), std::string::npos);
  EXPECT_EQ(ev4.adc[20][0], 0u);
  EXPECT_EQ(ev4.adc[20][1], usual[41] & 0xFFF);
}
