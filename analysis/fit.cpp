#include "fit.h"

#include <gsl/gsl_blas.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_matrix.h>
#include <gsl/gsl_multifit_nlinear.h>
#include <gsl/gsl_vector.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

// The likelihood needs f > 0: below kFloor the model is taken as kFloor and
// the shortfall costs kNegativeCost per unit squared, so a background cannot
// dip below zero where the bins are empty (there a negative model would
// otherwise cost nothing).
constexpr double kFloor = 1e-3;
constexpr double kNegativeCost = 1e4;
// Rates below this count as this in the error estimate: an empty stretch of
// the range does not make the parameters look better known than they are.
constexpr double kInfoFloor = 1e-2;

struct Problem {
  const std::int32_t* y;
  int lo;
  std::size_t n;
  bool bg;
  double centre;
};

double model(const double* p, bool bg, double centre, double x) {
  const double d = (x - p[1]) / p[2];
  double f = p[0] * std::exp(-0.5 * d * d);
  if (bg) f += p[3] + p[4] * (x - centre);
  return f;
}

// The model at x and its derivatives in the parameters (dm[0..4]).
double model_gradient(const double* p, bool bg, double centre, double x, double* dm) {
  const double u = (x - p[1]) / p[2];
  const double g = std::exp(-0.5 * u * u);
  dm[0] = g;
  dm[1] = p[0] * g * u / p[2];
  dm[2] = p[0] * g * u * u / p[2];
  dm[3] = 1.0;
  dm[4] = x - centre;
  return p[0] * g + (bg ? p[3] + p[4] * (x - centre) : 0.0);
}

// Signed square root of each bin's term of the Poisson likelihood ratio
// 2 * sum(f - y + y ln(y/f)): its sum of squares is what is minimised.
int residuals(const gsl_vector* params, void* data, gsl_vector* r) {
  const auto* pr = static_cast<const Problem*>(data);
  const double* p = params->data;
  for (std::size_t i = 0; i < pr->n; ++i) {
    const double x = pr->lo + static_cast<double>(i);
    const double raw = model(p, pr->bg, pr->centre, x);
    const double f = std::max(raw, kFloor);
    const double y = pr->y[i];
    double d = 2.0 * (f - y);
    if (y > 0) d += 2.0 * y * std::log(y / f);
    if (raw < kFloor) d += kNegativeCost * (kFloor - raw) * (kFloor - raw);
    const double s = std::sqrt(std::max(d, 0.0));
    gsl_vector_set(r, i, y >= f ? s : -s);
  }
  return GSL_SUCCESS;
}

// The residuals' derivatives in the parameters, from the model's: with d
// a bin's term, r = +-sqrt(d) and dr = +-dd / (2 sqrt(d)). Where the model
// meets the count, d and dd vanish together and dr tends to -sqrt(y) / f
// times the model's derivative. Finite differences cost the fit a residual
// pass per parameter per step, three times this.
int jacobian(const gsl_vector* params, void* data, gsl_matrix* J) {
  const auto* pr = static_cast<const Problem*>(data);
  const double* p = params->data;
  const std::size_t np = pr->bg ? 5 : 3;
  for (std::size_t i = 0; i < pr->n; ++i) {
    const double x = pr->lo + static_cast<double>(i);
    double dm[5];
    const double raw = model_gradient(p, pr->bg, pr->centre, x, dm);
    const double f = std::max(raw, kFloor);
    const double y = pr->y[i];
    double d = 2.0 * (f - y);
    if (y > 0) d += 2.0 * y * std::log(y / f);
    // dd per unit of the model.
    double dd = raw < kFloor ? -2.0 * kNegativeCost * (kFloor - raw) : 2.0 - 2.0 * y / f;
    if (raw < kFloor) d += kNegativeCost * (kFloor - raw) * (kFloor - raw);
    double k;  // dr per unit of the model
    if (d > 1e-12 * (f + y)) {
      const double s = y >= f ? 1.0 : -1.0;
      k = s * dd / (2.0 * std::sqrt(d));
    } else {
      k = raw < kFloor ? 0.0 : -std::sqrt(y) / f;
    }
    double* row = J->data + i * J->tda;
    for (std::size_t j = 0; j < np; ++j) row[j] = k * dm[j];
  }
  return GSL_SUCCESS;
}

// Start values: the highest point of a lightly smoothed copy and its width
// at half height, so a sparse peak is found and one noisy bin is not.
void start_values(const std::vector<double>& y, int lo, bool bg, double* p) {
  const std::size_t n = y.size();
  const std::size_t w = std::max<std::size_t>(1, n / 400);
  std::vector<double> sm(n);
  std::vector<double> pre(n + 1, 0.0);
  for (std::size_t i = 0; i < n; ++i) pre[i + 1] = pre[i] + y[i];
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t a = i >= w ? i - w : 0, b = std::min(n, i + w + 1);
    sm[i] = (pre[b] - pre[a]) / static_cast<double>(b - a);
  }
  std::size_t k = static_cast<std::size_t>(std::max_element(sm.begin(), sm.end()) - sm.begin());
  double base = 0;
  if (bg) {
    const std::size_t e = std::max<std::size_t>(1, n / 10);
    base = ((pre[e] - pre[0]) + (pre[n] - pre[n - e])) / (2.0 * static_cast<double>(e));
    base = std::min(base, sm[k] * 0.5);
  }
  const double half = base + (sm[k] - base) / 2;
  std::size_t l = k, r = k;
  while (l > 0 && sm[l] > half) --l;
  while (r + 1 < n && sm[r] > half) ++r;
  double sigma = std::max(1.0, static_cast<double>(r - l) / 2.355);
  p[0] = std::max(sm[k] - base, 0.5);
  p[1] = lo + static_cast<double>(k);
  p[2] = sigma;
  if (bg) {
    p[3] = base;
    p[4] = 0;
  }
}

// The range clamped to the spectrum and its counts (negatives as 0).
// False, with the reason in r.error, when it holds nothing to fit.
bool take_range(std::span<const std::int32_t> bins, int lo, int hi, std::size_t np, FitResult& r,
                std::vector<double>& y) {
  const int nb = static_cast<int>(bins.size());
  r.lo = std::max(lo, 0);
  r.hi = std::min(hi, nb - 1);
  if (r.hi < r.lo) {
    r.error = "empty range";
    return false;
  }
  const std::size_t n = static_cast<std::size_t>(r.hi - r.lo + 1);
  if (n < np + 2) {
    r.error = "range too narrow for a fit";
    return false;
  }
  y.resize(n);
  std::int64_t total = 0;
  std::int32_t mn = std::max<std::int32_t>(0, bins[static_cast<std::size_t>(r.lo)]), mx = mn;
  for (std::size_t i = 0; i < n; ++i) {
    const std::int32_t c = std::max<std::int32_t>(0, bins[static_cast<std::size_t>(r.lo) + i]);
    y[i] = c;
    total += c;
    mn = std::min(mn, c);
    mx = std::max(mx, c);
  }
  if (total == 0) {
    r.error = "no entries in range";
    return false;
  }
  if (mn == mx) {
    r.error = "flat range, no peak";
    return false;
  }
  return true;
}

// Minimises from p0; the result into p. GSL's status.
int minimise(Problem& pr, std::size_t np, const double* p0, double* p, int* iterations,
             double* chi2) {
  gsl_set_error_handler_off();
  gsl_multifit_nlinear_parameters fp = gsl_multifit_nlinear_default_parameters();
  // Normal equations: with three to five parameters, a third faster a fit
  // than the default QR.
  fp.solver = gsl_multifit_nlinear_solver_cholesky;
  gsl_multifit_nlinear_workspace* ws =
      gsl_multifit_nlinear_alloc(gsl_multifit_nlinear_trust, &fp, pr.n, np);
  gsl_multifit_nlinear_fdf fdf{};
  fdf.f = residuals;
  fdf.df = jacobian;
  fdf.n = pr.n;
  fdf.p = np;
  fdf.params = &pr;
  double start[5];
  std::copy(p0, p0 + np, start);
  gsl_vector_view x0 = gsl_vector_view_array(start, np);
  gsl_multifit_nlinear_init(&x0.vector, &fdf, ws);
  int info = 0;
  const int status = gsl_multifit_nlinear_driver(200, 1e-10, 1e-10, 0.0, nullptr, nullptr, &info, ws);
  for (std::size_t k = 0; k < np; ++k) p[k] = gsl_vector_get(ws->x, k);
  *iterations = static_cast<int>(gsl_multifit_nlinear_niter(ws));
  *chi2 = 0;
  gsl_blas_ddot(ws->f, ws->f, chi2);
  gsl_multifit_nlinear_free(ws);
  return status;
}

// Errors from the Fisher information of the Poisson likelihood at the
// result: sum over bins of df/dpj * df/dpk / f. False when it cannot be
// inverted or gives no positive variance.
bool parameter_errors(const double* p, std::size_t np, const FitResult& r, double* err) {
  gsl_matrix* info_m = gsl_matrix_calloc(np, np);
  for (int bin = r.lo; bin <= r.hi; ++bin) {
    double dv[5];
    const double f = std::max(model_gradient(p, r.background, r.centre, bin, dv), kInfoFloor);
    for (std::size_t a = 0; a < np; ++a)
      for (std::size_t b = 0; b <= a; ++b) {
        const double v = gsl_matrix_get(info_m, a, b) + dv[a] * dv[b] / f;
        gsl_matrix_set(info_m, a, b, v);
        gsl_matrix_set(info_m, b, a, v);
      }
  }
  const int chol = gsl_linalg_cholesky_decomp1(info_m);
  if (chol == GSL_SUCCESS) gsl_linalg_cholesky_invert(info_m);
  bool ok = chol == GSL_SUCCESS;
  for (std::size_t k = 0; ok && k < np; ++k) {
    const double v = gsl_matrix_get(info_m, k, k);
    ok = std::isfinite(v) && v > 0;
    err[k] = ok ? std::sqrt(v) : 0;
  }
  gsl_matrix_free(info_m);
  return ok;
}

// Whether the minimum is a peak inside the range; the reason when not.
const char* not_a_peak(const double* p, const double* err, const FitResult& r) {
  const double width = r.hi - r.lo + 1;
  if (p[1] < r.lo || p[1] > r.hi) return "no peak: the fitted mean lies outside the range";
  if (p[2] > width / 2) return "no peak: the fitted width exceeds the range";
  // Five standard errors: a search over a wide range finds three-sigma
  // bumps in plain noise.
  if (p[0] <= 0 || p[0] < 5 * err[0]) return "no significant peak above the background";
  return nullptr;
}

}  // namespace

double FitResult::eval(double x) const {
  double p[5] = {amplitude, mean, sigma, b0, b1};
  return model(p, background, centre, x);
}

FitResult fit_gaussian(std::span<const std::int32_t> bins, int lo, int hi, bool background) {
  FitResult r;
  r.background = background;
  const std::size_t np = background ? 5 : 3;
  std::vector<double> y;
  if (!take_range(bins, lo, hi, np, r, y)) return r;

  r.centre = 0.5 * (r.lo + r.hi);
  Problem pr{bins.data() + r.lo, r.lo, y.size(), background, r.centre};
  double p0[5] = {0, 0, 0, 0, 0};
  start_values(y, r.lo, background, p0);
  double p[5] = {0, 0, 0, 0, 0};
  double chi2 = 0;
  const int status = minimise(pr, np, p0, p, &r.iterations, &chi2);
  if (status != GSL_SUCCESS) {
    r.error = std::string("fit did not converge (") + gsl_strerror(status) + ")";
    return r;
  }
  p[2] = std::fabs(p[2]);
  double err[5] = {0, 0, 0, 0, 0};
  const bool errOk = parameter_errors(p, np, r, err);
  for (std::size_t k = 0; k < np; ++k)
    if (!std::isfinite(p[k])) {
      r.error = "fit gave no finite result";
      return r;
    }
  if (!errOk) {
    r.error = "fit errors undefined (parameters not constrained by the data)";
    return r;
  }
  if (const char* why = not_a_peak(p, err, r)) {
    r.error = why;
    return r;
  }
  r.ok = true;
  r.amplitude = p[0];
  r.amplitudeErr = err[0];
  r.mean = p[1];
  r.meanErr = err[1];
  r.sigma = p[2];
  r.sigmaErr = err[2];
  if (background) {
    r.b0 = p[3];
    r.b0Err = err[3];
    r.b1 = p[4];
    r.b1Err = err[4];
  }
  r.chi2 = chi2;
  r.ndf = static_cast<int>(y.size() - np);
  return r;
}

std::string format_fit(const char* which, int channel, const FitResult& r) {
  char buf[400];
  int k = std::snprintf(buf, sizeof buf, "Fit %s ch %d bins %d-%d%s: ", which, channel, r.lo, r.hi,
                        r.background ? " (gauss+line)" : "");
  if (k < 0) return {};
  const std::size_t used = std::min<std::size_t>(static_cast<std::size_t>(k), sizeof buf - 1);
  if (!r.ok) {
    std::snprintf(buf + used, sizeof buf - used, "failed: %s", r.error.c_str());
    return buf;
  }
  int m = std::snprintf(buf + used, sizeof buf - used,
                        "mean %.3f +- %.3f  sigma %.3f +- %.3f  amplitude %.3f +- %.3f  "
                        "chi2/ndf %.1f/%d = %.3f",
                        r.mean, r.meanErr, r.sigma, r.sigmaErr, r.amplitude, r.amplitudeErr, r.chi2,
                        r.ndf, r.ndf > 0 ? r.chi2 / r.ndf : 0.0);
  if (r.background && m > 0 && used + static_cast<std::size_t>(m) < sizeof buf) {
    const std::size_t u2 = used + static_cast<std::size_t>(m);
    std::snprintf(buf + u2, sizeof buf - u2, "  background %.3f +- %.3f, slope %.4g +- %.2g",
                  r.b0, r.b0Err, r.b1, r.b1Err);
  }
  return buf;
}

double fit_jacobian_mismatch(std::span<const std::int32_t> bins, int lo, int hi, bool background,
                             const double* p) {
  const std::size_t np = background ? 5 : 3;
  const std::size_t n = static_cast<std::size_t>(hi - lo + 1);
  Problem pr{bins.data() + lo, lo, n, background, 0.5 * (lo + hi)};
  gsl_matrix* J = gsl_matrix_alloc(n, np);
  gsl_vector* up = gsl_vector_alloc(n);
  gsl_vector* down = gsl_vector_alloc(n);
  double x[5];
  std::copy(p, p + np, x);
  gsl_vector_view xv = gsl_vector_view_array(x, np);
  jacobian(&xv.vector, &pr, J);
  double worst = 0, scale = 0;
  for (std::size_t j = 0; j < np; ++j) {
    const double h = 1e-6 * std::max(1.0, std::fabs(p[j]));
    x[j] = p[j] + h;
    residuals(&xv.vector, &pr, up);
    x[j] = p[j] - h;
    residuals(&xv.vector, &pr, down);
    x[j] = p[j];
    for (std::size_t i = 0; i < n; ++i) {
      const double fd = (gsl_vector_get(up, i) - gsl_vector_get(down, i)) / (2 * h);
      const double an = gsl_matrix_get(J, i, j);
      worst = std::max(worst, std::fabs(fd - an));
      scale = std::max(scale, std::fabs(an));
    }
  }
  gsl_matrix_free(J);
  gsl_vector_free(up);
  gsl_vector_free(down);
  return scale > 0 ? worst / scale : worst;
}
