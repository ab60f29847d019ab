// Redraw of one 65536-bin TDC spectrum on the real panel, full range and
// zoomed, decimated for the visible range against handing every bin to the
// plot widget; and the scan map of a 100 x 100 grid. Each iteration includes
// the synchronous repaint of what changed.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <random>

#include "backend.h"
#include "display.h"
#include "mdq_ui.h"
#include "platform.h"
#include "qt_backend.h"
#include "live_histograms.h"
#include <qcustomplot.h>

namespace {
mdq::platform::QtBackend* g_backend = nullptr;
std::vector<std::int32_t> g_tdc(kTdcBins);

void fill() {
  std::mt19937 rng(3);
  std::normal_distribution<double> tdc(30000, 800);
  std::uniform_int_distribution<int> flat(0, kTdcBins - 1);
  for (int i = 0; i < 200000; ++i) {
    int t = static_cast<int>(tdc(rng));
    if (t >= 0 && t < kTdcBins) ++g_tdc[static_cast<std::size_t>(t)];
    ++g_tdc[static_cast<std::size_t>(flat(rng))];
  }
  g_tdc[100] += 50;  // a lone spike
}

// The panel's refresh: the spectrum handed over (PlotY) and painted. Each
// side gets the same widget settings; `layer` off replots axes and labels
// on every redraw as well.
void redraw(benchmark::State& state, bool decimate, bool zoomed, bool repaint = true,
            bool widgetSampling = true, bool layer = true) {
  g_backend->setDecimation(decimate, widgetSampling);
  g_backend->setLayerRedraw(layer);
  if (zoomed) SetAxisScalingMode(p1h, P1_TDC_GRAPH, VAL_XAXIS, VAL_MANUAL, 28000, 32000);
  else SetAxisScalingMode(p1h, P1_TDC_GRAPH, VAL_XAXIS, VAL_AUTOSCALE, 0, 0);
  for (auto _ : state) {
    PlotY(p1h, P1_TDC_GRAPH, g_tdc.data(), g_tdc.size(), VAL_INTEGER, VAL_THICK_LINE, VAL_NO_POINT,
          VAL_SOLID, 1, 0xFF0000);
    if (repaint) g_backend->replot(P1_TDC_GRAPH);
  }
  g_backend->setDecimation(true);
  g_backend->setLayerRedraw(true);
}

void BM_RedrawFullAllBins(benchmark::State& s) { redraw(s, false, false); }
void BM_RedrawFullDecimated(benchmark::State& s) { redraw(s, true, false); }
void BM_RedrawZoomedAllBins(benchmark::State& s) { redraw(s, false, true); }
void BM_RedrawZoomedDecimated(benchmark::State& s) { redraw(s, true, true); }
BENCHMARK(BM_RedrawFullAllBins)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_RedrawFullDecimated)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_RedrawZoomedAllBins)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_RedrawZoomedDecimated)->Unit(benchmark::kMillisecond)->MinTime(0.5);
// Every bin drawn by the widget as it is (its adaptive sampling off).
void BM_RedrawFullAllBinsUnsampled(benchmark::State& s) { redraw(s, false, false, true, false); }
void BM_RedrawZoomedAllBinsUnsampled(benchmark::State& s) { redraw(s, false, true, true, false); }
BENCHMARK(BM_RedrawFullAllBinsUnsampled)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_RedrawZoomedAllBinsUnsampled)->Unit(benchmark::kMillisecond)->MinTime(0.5);
// Every redraw a full replot (axes, ticks, labels), for both sides.
void BM_RedrawFullDecimatedWholePlot(benchmark::State& s) {
  redraw(s, true, false, true, true, false);
}
void BM_RedrawFullAllBinsWholePlot(benchmark::State& s) {
  redraw(s, false, false, true, true, false);
}
void BM_RedrawZoomedDecimatedWholePlot(benchmark::State& s) {
  redraw(s, true, true, true, true, false);
}
void BM_RedrawZoomedAllBinsWholePlot(benchmark::State& s) {
  redraw(s, false, true, true, true, false);
}
void BM_RedrawFullAllBinsUnsampledWholePlot(benchmark::State& s) {
  redraw(s, false, false, true, false, false);
}
BENCHMARK(BM_RedrawFullDecimatedWholePlot)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_RedrawFullAllBinsWholePlot)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_RedrawZoomedDecimatedWholePlot)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_RedrawZoomedAllBinsWholePlot)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_RedrawFullAllBinsUnsampledWholePlot)->Unit(benchmark::kMillisecond)->MinTime(0.5);
// The data path alone: what the program hands over, without painting.
void BM_HandOverAllBins(benchmark::State& s) { redraw(s, false, false, false); }
void BM_HandOverDecimated(benchmark::State& s) { redraw(s, true, false, false); }
BENCHMARK(BM_HandOverAllBins)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_HandOverDecimated)->Unit(benchmark::kMillisecond)->MinTime(0.5);

// What every redraw pays whatever it hands over: clearing the spectrum's
// layer, and composing the plot's rectangle onto the widget; and the
// widget's drawing of the decimated line alone.
QCustomPlot* tdcPlot() {
  return g_backend->panel()->findChild<QWidget*>("P1_TDC_GRAPH")->findChild<QCustomPlot*>();
}
void BM_FloorClearLayer(benchmark::State& s) {
  QCustomPlot* p = tdcPlot();
  p->graph(0)->setVisible(false);
  for (auto _ : s) p->layer("spectrum")->replot();
  p->graph(0)->setVisible(true);
}
void BM_FloorCompose(benchmark::State& s) {
  QCustomPlot* p = tdcPlot();
  for (auto _ : s) p->repaint(p->axisRect()->rect().adjusted(-1, -2, 1, 1));
}
void BM_FloorLayerDecimated(benchmark::State& s) {
  SetAxisScalingMode(p1h, P1_TDC_GRAPH, VAL_XAXIS, VAL_AUTOSCALE, 0, 0);
  PlotY(p1h, P1_TDC_GRAPH, g_tdc.data(), g_tdc.size(), VAL_INTEGER, VAL_THICK_LINE, VAL_NO_POINT,
        VAL_SOLID, 1, 0xFF0000);
  QCustomPlot* p = tdcPlot();
  for (auto _ : s) p->layer("spectrum")->replot();
}
BENCHMARK(BM_FloorClearLayer)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_FloorCompose)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_FloorLayerDecimated)->Unit(benchmark::kMillisecond)->MinTime(0.5);

void BM_Map100x100(benchmark::State& state) {
  mdq::platform::MapPicture pic;
  pic.nx = pic.ny = 100;
  for (int i = 0; i < 100; ++i) pic.xset.push_back(i * 10), pic.yset.push_back(i * 10);
  pic.values.resize(10000);
  for (int i = 0; i < 10000; ++i) pic.values[static_cast<std::size_t>(i)] = (i * 7919) % 1000;
  int k = 0;
  for (auto _ : state) {
    pic.values[static_cast<std::size_t>(k++ % 10000)] += 1;  // a live map changes between draws
    g_backend->showMap(P1_MAP, pic);
    g_backend->replot(P1_MAP);
  }
}
BENCHMARK(BM_Map100x100)->Unit(benchmark::kMillisecond)->MinTime(0.5);
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
