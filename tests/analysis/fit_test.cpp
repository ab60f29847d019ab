// Peak fits against spectra of known shape, drawn with Poisson noise.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "fit.h"

namespace {

struct Shape {
  double amplitude, mean, sigma, b0 = 0, b1 = 0;
};

std::vector<std::int32_t> draw(int nbins, const Shape& s, unsigned seed, double centre = 0) {
  std::mt19937 rng(seed);
  std::vector<std::int32_t> bins(static_cast<std::size_t>(nbins));
  for (int i = 0; i < nbins; ++i) {
    const double d = (i - s.mean) / s.sigma;
    const double mu = s.amplitude * std::exp(-0.5 * d * d) + std::max(0.0, s.b0 + s.b1 * (i - centre));
    if (mu > 0) bins[static_cast<std::size_t>(i)] = std::poisson_distribution<int>(mu)(rng);
  }
  return bins;
}

TEST(GaussianFit, RecoversAWellFilledPeakWithinItsErrors) {
  const Shape truth{500, 2040.3, 25.0};
  const auto bins = draw(4096, truth, 11);
  const FitResult r = fit_gaussian(bins, 1800, 2300, false);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_NEAR(r.mean, truth.mean, 3 * r.meanErr);
  EXPECT_NEAR(r.sigma, truth.sigma, 3 * r.sigmaErr);
  EXPECT_NEAR(r.amplitude, truth.amplitude, 3 * r.amplitudeErr);
  // The errors are those of ~31000 entries: sigma/sqrt(N) for the mean.
  EXPECT_NEAR(r.meanErr, 25.0 / std::sqrt(500 * 25.0 * 2.5066), 0.02);
  EXPECT_EQ(r.ndf, 501 - 3);
  // Within two sigma every bin is well filled: chi2/ndf near 1. (Far tails,
  // where the model is near 0, add less than 1 per bin.)
  const FitResult core = fit_gaussian(bins, 1990, 2090, false);
  ASSERT_TRUE(core.ok) << core.error;
  EXPECT_GT(core.chi2 / core.ndf, 0.6);
  EXPECT_LT(core.chi2 / core.ndf, 1.5);
  EXPECT_LT(r.chi2 / r.ndf, 1.0);
}

TEST(GaussianFit, ResidualDerivativesAgreeWithDifferencesOfTheResiduals) {
  const Shape truth{200, 1000.5, 15.0};
  std::vector<std::int32_t> bins = draw(2048, truth, 5);
  for (int i = 900; i < 940; ++i) bins[static_cast<std::size_t>(i)] = 0;  // empty bins
  // At the truth, away from it, and with a background dipping below zero
  // (the floor and its penalty) on the left.
  const double near[3] = {200, 1000.5, 15};
  const double far[3] = {80, 1030, 40};
  const double dipping[5] = {200, 1000, 15, 1.0, 0.02};
  EXPECT_LT(fit_jacobian_mismatch(bins, 880, 1120, false, near), 1e-4);
  EXPECT_LT(fit_jacobian_mismatch(bins, 880, 1120, false, far), 1e-4);
  EXPECT_LT(fit_jacobian_mismatch(bins, 880, 1120, true, dipping), 1e-4);
}

TEST(GaussianFit, ErrorsMatchTheSpreadOverRepeatedSpectra) {
  // 40 spectra of one shape: the fitted means scatter as the quoted error says.
  const Shape truth{40, 700, 12};
  double sum = 0, sum2 = 0, err = 0;
  int pullsOutside = 0;
  const int n = 40;
  for (int k = 0; k < n; ++k) {
    const FitResult r = fit_gaussian(draw(4096, truth, 100 + k), 600, 800, false);
    ASSERT_TRUE(r.ok) << r.error;
    sum += r.mean;
    sum2 += r.mean * r.mean;
    err += r.meanErr;
    if (std::fabs(r.sigma - truth.sigma) > 3 * r.sigmaErr) ++pullsOutside;
  }
  const double spread = std::sqrt(sum2 / n - (sum / n) * (sum / n));
  EXPECT_NEAR(sum / n, truth.mean, 3 * spread / std::sqrt(n));
  EXPECT_NEAR(spread / (err / n), 1.0, 0.35);
  EXPECT_LE(pullsOutside, 2);
}

TEST(GaussianFit, SparsePeakOnAWideTdcAxisAsTheStandMakesIt) {
  // About 270 hits of sigma 40 at 8040 on 65536 bins: a few counts per bin.
  const Shape truth{2.7, 8040, 40};
  const auto bins = draw(65536, truth, 5);
  const FitResult r = fit_gaussian(bins, 0, 65535, false);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_NEAR(r.mean, truth.mean, 3 * r.meanErr);
  EXPECT_NEAR(r.sigma, truth.sigma, 3 * r.sigmaErr);
  EXPECT_LT(r.meanErr, 5);
}

TEST(GaussianFit, PeakOnASlopeWithTheBackgroundTerm) {
  const double centre = 0.5 * (100 + 500);
  const Shape truth{120, 310, 15, 40, 0.05};
  const auto bins = draw(1024, truth, 21, centre);
  const FitResult r = fit_gaussian(bins, 100, 500, true);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_NEAR(r.mean, truth.mean, 3 * r.meanErr);
  EXPECT_NEAR(r.sigma, truth.sigma, 3 * r.sigmaErr);
  EXPECT_NEAR(r.amplitude, truth.amplitude, 3 * r.amplitudeErr);
  EXPECT_NEAR(r.b0, truth.b0, 3 * r.b0Err);
  EXPECT_NEAR(r.b1, truth.b1, 3 * r.b1Err);
  EXPECT_NEAR(r.eval(310), 120 + 40 + 0.05 * (310 - centre), 10);
  // Without the background term the same peak comes out too wide.
  const FitResult bare = fit_gaussian(bins, 100, 500, false);
  EXPECT_TRUE(!bare.ok || bare.sigma > truth.sigma + 3 * bare.sigmaErr);
}

TEST(GaussianFit, BackgroundTermOnEmptySidesStaysAtZeroAndKeepsHonestErrors) {
  // A sparse peak with nothing around it, fitted with the background term:
  // the line must not dive below zero in the empty bins to shave the tails.
  const Shape truth{2.7, 8040, 40};
  const auto bins = draw(65536, truth, 8);
  const FitResult bare = fit_gaussian(bins, 7800, 8300, false);
  const FitResult bg = fit_gaussian(bins, 7800, 8300, true);
  ASSERT_TRUE(bare.ok) << bare.error;
  ASSERT_TRUE(bg.ok) << bg.error;
  EXPECT_NEAR(bg.sigma, truth.sigma, 3 * bg.sigmaErr);
  EXPECT_GT(bg.meanErr, 0.7 * bare.meanErr);
  EXPECT_GT(bg.b0 - 0.5 * std::fabs(bg.b1) * 250, -0.01) << "background negative at a range edge";
}

TEST(GaussianFit, EmptyFlatOrTinyRangesFailWithAReasonAndNoNumbers) {
  std::vector<std::int32_t> empty(4096, 0), flat(4096, 7);
  const FitResult cases[] = {
      fit_gaussian(empty, 0, 4095, false), fit_gaussian(empty, 0, 4095, true),
      fit_gaussian(flat, 0, 4095, false),  fit_gaussian(flat, 100, 300, true),
      fit_gaussian(flat, 10, 13, false),   fit_gaussian(flat, 200, 100, false),
  };
  for (const FitResult& r : cases) {
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.empty());
    const std::string line = format_fit("ADC", 3, r);
    EXPECT_EQ(line.rfind("Fit ADC ch 3 ", 0), 0u) << line;
    EXPECT_NE(line.find("failed: "), std::string::npos) << line;
    EXPECT_EQ(line.find("nan"), std::string::npos) << line;
  }
}

TEST(GaussianFit, NoisyFlatRangeIsNoPeak) {
  // Poisson noise on a flat level: whatever the minimiser finds is no peak.
  for (unsigned seed = 1; seed <= 5; ++seed) {
    const auto bins = draw(2048, Shape{0, 1000, 10, 20, 0}, seed);
    for (bool bg : {false, true}) {
      const FitResult r = fit_gaussian(bins, 200, 1800, bg);
      EXPECT_FALSE(r.ok) << "seed " << seed << " bg " << bg << ": " << format_fit("TDC", 0, r);
    }
  }
}

TEST(GaussianFit, ConsoleLineCarriesMeanSigmaAndChi2PerNdfWithErrors) {
  const auto bins = draw(4096, Shape{300, 1500, 20}, 3);
  const FitResult r = fit_gaussian(bins, 1400, 1600, false);
  ASSERT_TRUE(r.ok) << r.error;
  const std::string line = format_fit("TDC", 0, r);
  EXPECT_EQ(line.rfind("Fit TDC ch 0 bins 1400-1600: mean ", 0), 0u) << line;
  for (const char* word : {" +- ", "sigma ", "amplitude ", "chi2/ndf "})
    EXPECT_NE(line.find(word), std::string::npos) << word << " in " << line;
  char expected[64];
  std::snprintf(expected, sizeof expected, "mean %.3f +- %.3f", r.mean, r.meanErr);
  EXPECT_NE(line.find(expected), std::string::npos) << line;
}

}  // namespace
