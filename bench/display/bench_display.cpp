// Redraw of one TDC and one ADC spectrum on the real panel: min/max
// decimated points against handing every bin to the chart. Each iteration
// includes the synchronous repaint of both charts.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QtCharts/QChartView>
#include <random>

#include "backend.h"
#include "display.h"
#include "mdq_ui.h"
#include "platform.h"
#include "qt_backend.h"
#include "spectra.h"

namespace {
mdq::platform::QtBackend* g_backend = nullptr;

void fill() {
  std::mt19937 rng(3);
  std::normal_distribution<double> tdc(30000, 800), adc(800, 60);
  for (int i = 0; i < 200000; ++i) {
    int t = static_cast<int>(tdc(rng)), a = static_cast<int>(adc(rng));
    if (t >= 0 && t < kTdcBins) spectrum_add(dtdc[0][0][t]);
    if (a >= 0 && a < kAdcBins) spectrum_add(dadc[0][0][a]);
  }
  spectrum_add(dtdc[0][0][100]);  // a lone spike
}

void redraw(benchmark::State& state, bool decimate) {
  g_backend->setDecimation(decimate);
  auto views = g_backend->panel()->findChildren<QChartView*>();
  for (auto _ : state) {
    update_plots();
    for (auto* v : views) v->viewport()->repaint();
  }
  state.counters["ms_per_redraw"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 1e-3,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_PlotOnlyDecimated(benchmark::State& state) {
  g_backend->setDecimation(true);
  for (auto _ : state) update_plots();
}
void BM_RepaintOnly(benchmark::State& state) {
  auto views = g_backend->panel()->findChildren<QChartView*>();
  for (auto _ : state)
    for (auto* v : views) v->viewport()->repaint();
}
BENCHMARK(BM_PlotOnlyDecimated)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RepaintOnly)->Unit(benchmark::kMillisecond);

void BM_RedrawNaive(benchmark::State& s) { redraw(s, false); }
void BM_RedrawDecimated(benchmark::State& s) { redraw(s, true); }
BENCHMARK(BM_RedrawNaive)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_RedrawDecimated)->Unit(benchmark::kMillisecond)->MinTime(1.0);
}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  mdq::platform::QtBackend backend;
  g_backend = &backend;
  mdq::platform::set_backend(&backend);
  p1h = LoadPanel(0, "mdq_ui.uir", 1);
  if (p1h < 0) return 1;
  DisplayPanel(p1h);
  app.processEvents();
  fill();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  mdq::platform::set_backend(nullptr);
  return 0;
}
