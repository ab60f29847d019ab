// The position of a spectrum's highest peak, as the scan map shows it per
// position: a window around the peak found on a coarse copy of the spectrum,
// then a Gaussian fitted to that window alone (a 65,536-bin spectrum is never
// fitted whole).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

struct BinRange {
  int lo = 0, hi = -1;  // inclusive; hi < lo when there is none
};

// The highest peak and as much again of its width on either side. Blocks
// of a 1,024th of the spectrum are summed with their neighbours, so one
// noisy bin of a sparse spectrum does not win; the peak extends while those
// sums stay above a quarter of the highest. None for an empty spectrum.
BinRange peak_window(std::span<const std::int32_t> bins);
BinRange peak_window(std::span<const std::atomic<std::int32_t>> bins);

// The bins of a spectrum's peak window, copied.
struct PeakCut {
  int lo = 0;
  std::vector<std::int32_t> bins;  // empty: no peak
};
PeakCut cut_peak(std::span<const std::int32_t> bins);
PeakCut cut_peak(std::span<const std::atomic<std::int32_t>> bins);

// Fitted mean (in bins of the whole spectrum) of a cut; NaN when the fit
// fails or there is no peak. A window of more than 128 bins is fitted in
// groups of bins.
float fit_cut(const PeakCut& cut);

// The spectra fitted per position: TDC, ADC gain 0, ADC gain 1.
constexpr int kPeakKinds = 3;
using PositionCuts = std::array<std::array<PeakCut, 32>, kPeakKinds>;
using PositionPeaks = std::array<std::array<float, 32>, kPeakKinds>;
PositionPeaks fit_position(const PositionCuts& cuts);
