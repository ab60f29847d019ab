// The live spectra: filled by the run's worker, cleared and drawn by the
// event loop. Bins are relaxed atomics: the single filler does a load and a
// store (plain moves on this hardware), readers take a snapshot, and a
// clear racing an increment may lose that one count, never corrupt memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

constexpr int kChannels = 32;
constexpr int kTdcBins = 65536;
constexpr int kAdcBins = 4096;

using Bin = std::atomic<std::int32_t>;
static_assert(sizeof(Bin) == sizeof(std::int32_t));

extern Bin dtdc[kChannels][2][kTdcBins];
extern Bin dadc[kChannels][2][kAdcBins];

// Per channel, TDC values of 65536 or more: kept in the event but past the
// last bin. Filled beside dtdc by the decoder, cleared with the spectra.
extern std::atomic<std::uint32_t> tdc_overflow[kChannels];

// Only the worker fills, so load+store is enough.
inline void spectrum_add(Bin& b) {
  b.store(b.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void spectra_clear();
// Copies one spectrum into out (size kTdcBins / kAdcBins).
void spectrum_snapshot(std::span<const Bin> bins, std::span<std::int32_t> out);

// Timer ticks since the run's last veto release (a trigger two ticks late is skipped).
extern std::atomic<int> ntics;
