// The live spectra: filled by the run's worker, cleared and drawn by the
// event loop. Bins are relaxed atomics: the single filler does a load and a
// store (one add to memory on x86-64), readers take a snapshot, and a
// clear racing an increment may lose that one count, never corrupt memory.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

constexpr int kChannels = 32;
constexpr int kTdcBins = 65536;
constexpr int kAdcBins = 4096;

using Bin = std::atomic<std::int32_t>;
static_assert(sizeof(Bin) == sizeof(std::int32_t));

// One spectrum of N bins. Rows of 16 KB or 256 KB would put the same bin of
// every spectrum at the same offset within 4 KB, so in the same L1 set and
// the same low address bits the core checks loads against in-flight stores.
// With narrow spectra (pedestals, where all channels hit the same few bins)
// the filler then slowed by up to 1.6x in a stand-alone test. The pad shifts
// each row by 160 bytes, so no two rows of one kind share an offset within
// 4 KB. Readers see exactly N bins.
template <int N>
struct SpectrumRow {
  Bin bins[N];
  Bin pad_[40];

  Bin& operator[](std::size_t i) { return bins[i]; }
  const Bin& operator[](std::size_t i) const { return bins[i]; }
  Bin* begin() { return bins; }
  Bin* end() { return bins + N; }
  const Bin* begin() const { return bins; }
  const Bin* end() const { return bins + N; }
  static constexpr std::size_t size() { return N; }
  operator std::span<const Bin>() const { return {bins, static_cast<std::size_t>(N)}; }
};

static_assert(sizeof(SpectrumRow<kTdcBins>) % 4096 == 160 &&
              sizeof(SpectrumRow<kAdcBins>) % 4096 == 160);

extern SpectrumRow<kTdcBins> dtdc[kChannels][2];
extern SpectrumRow<kAdcBins> dadc[kChannels][2];

// Per channel, TDC values of 65536 or more: kept in the event but past the
// last bin. Filled beside dtdc by the decoder, cleared with the spectra.
extern std::atomic<std::uint32_t> tdc_overflow[kChannels];

// Only the worker fills, so load+store is enough. On x86-64 an add to
// memory is that same aligned load and store in one instruction (a tenth
// off an event's decoding against the separate load, add and store the
// compiler makes of the atomic pair); under the thread sanitizer the atomic
// pair stays, so the single-writer protocol is still checked.
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#if defined(__has_feature)
#if !__has_feature(thread_sanitizer)
#define MDQ_BIN_ADD_IN_PLACE 1
#endif
#else
#define MDQ_BIN_ADD_IN_PLACE 1
#endif
#endif
inline void spectrum_add(Bin& b) {
#ifdef MDQ_BIN_ADD_IN_PLACE
  asm("addl $1, %0" : "+m"(*reinterpret_cast<std::int32_t*>(&b)));
#else
  b.store(b.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
#endif
}

void spectra_clear();
// Copies one spectrum into out (size kTdcBins / kAdcBins).
void spectrum_snapshot(std::span<const Bin> bins, std::span<std::int32_t> out);

// Timer ticks since the run's last veto release (a trigger two ticks late is skipped).
extern std::atomic<int> ntics;
