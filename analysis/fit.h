// A Gaussian peak, optionally on a straight-line background, fitted to a
// bin range of a spectrum by Poisson maximum likelihood (GSL nonlinear least
// squares on the likelihood-ratio residuals, so sparse bins are weighted
// right and empty bins count).
#pragma once

#include <cstdint>
#include <span>
#include <string>

struct FitResult {
  bool ok = false;
  std::string error;  // why there is no result, when !ok
  int lo = 0, hi = -1;
  bool background = false;
  // Per-bin height of the peak; background b0 + b1*(x - centre).
  double amplitude = 0, amplitudeErr = 0;
  double mean = 0, meanErr = 0;
  double sigma = 0, sigmaErr = 0;
  double b0 = 0, b0Err = 0, b1 = 0, b1Err = 0;
  double centre = 0;
  double chi2 = 0;  // likelihood-ratio chi-square
  int ndf = 0;
  int iterations = 0;
  double eval(double x) const;
};

// Fits bins [lo, hi] (clamped to the spectrum). Fails, with a reason and no
// numbers, for an empty or flat range, a range with too few bins, a fit that
// does not converge and a result that is no peak inside the range (mean
// outside it, wider than half of it, or less than five standard errors high).
FitResult fit_gaussian(std::span<const std::int32_t> bins, int lo, int hi, bool background);

// "Fit TDC ch 0 bins 7000-9000: mean 8012.31 +- 2.45  sigma 40.12 +- 1.90  amplitude 6.71 +- 0.52
//  chi2/ndf 180.2/1998 = 0.09" or "Fit TDC ch 0 bins ...: failed: <reason>".
std::string format_fit(const char* which, int channel, const FitResult& r);

// The fit's derivatives of its residuals against central differences of
// the residuals, at parameters p (amplitude, mean, sigma[, background,
// slope]) over bins [lo, hi]: the largest difference, relative to the
// largest derivative. For tests.
double fit_jacobian_mismatch(std::span<const std::int32_t> bins, int lo, int hi, bool background,
                             const double* p);
