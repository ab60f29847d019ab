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
// A live spectrum between refreshes: each version has the events of the
// one before and a few thousand more, as a run adds them in a second.
constexpr int kVersions = 8;
std::vector<std::vector<std::int32_t>> g_tdc(kVersions, std::vector<std::int32_t>(kTdcBins));

void fill() {
  std::mt19937 rng(3);
  std::normal_distribution<double> tdc(30000, 800);
  std::uniform_int_distribution<int> flat(0, kTdcBins - 1);
  std::vector<std::int32_t> bins(kTdcBins);
  auto add = [&](int events) {
    for (int i = 0; i < events; ++i) {
      int t = static_cast<int>(tdc(rng));
      if (t >= 0 && t < kTdcBins) ++bins[static_cast<std::size_t>(t)];
      ++bins[static_cast<std::size_t>(flat(rng))];
    }
  };
  add(200000);
  bins[100] += 50;  // a lone spike
  for (auto& v : g_tdc) {
    add(2000);
    v = bins;
  }
}

// As the panel's refresh does: a snapshot of the live bins, handed over.
// The versions sit in the live spectra of channels 0..kVersions-1.
void toLiveSpectra() {
  for (int k = 0; k < kVersions; ++k)
    for (int b = 0; b < kTdcBins; ++b)
      dtdc[k][0][static_cast<std::size_t>(b)].store(g_tdc[static_cast<std::size_t>(k)][static_cast<std::size_t>(b)]);
}

void handOver(std::size_t k) {
  static std::vector<std::int32_t> snap(kTdcBins);
  spectrum_snapshot(dtdc[k % kVersions][0], snap);
  PlotYVector(p1h, P1_TDC_GRAPH, snap, 0xFF0000);
}

using Drawing = mdq::platform::QtBackend::SpectrumDrawing;

// The panel's refresh: the spectrum handed over (PlotY) and painted. Each
// way of drawing gets the same widget settings; `layer` off replots axes
// and labels on every redraw as well.
void redraw(benchmark::State& state, Drawing drawing, bool zoomed, bool repaint = true,
            bool layer = true) {
  g_backend->setSpectrumDrawing(drawing);
  g_backend->setLayerRedraw(layer);
  if (zoomed) SetAxisScalingMode(p1h, P1_TDC_GRAPH, VAL_XAXIS, VAL_MANUAL, 28000, 32000);
  else SetAxisScalingMode(p1h, P1_TDC_GRAPH, VAL_XAXIS, VAL_AUTOSCALE, 0, 0);
  std::size_t k = 0;
  for (auto _ : state) {
    handOver(k++);
    if (repaint) g_backend->replot(P1_TDC_GRAPH);
  }
  g_backend->setSpectrumDrawing(Drawing::Spans);
  g_backend->setLayerRedraw(true);
}

// Spans: the panel's own painting. GraphDecimated: the same columns' min/max
// points drawn by the widget's graph. AllBins: every bin to the widget's
// graph, with its adaptive sampling (the baseline); Unsampled without.
#define MDQ_REDRAW(name, ...)                                         \
  void BM_##name(benchmark::State& s) { redraw(s, __VA_ARGS__); } \
  BENCHMARK(BM_##name)->Unit(benchmark::kMicrosecond)->MinTime(0.5)
MDQ_REDRAW(RedrawFullSpans, Drawing::Spans, false);
MDQ_REDRAW(RedrawFullGraphDecimated, Drawing::GraphDecimated, false);
MDQ_REDRAW(RedrawFullAllBins, Drawing::GraphAllBins, false);
MDQ_REDRAW(RedrawFullAllBinsUnsampled, Drawing::GraphAllBinsUnsampled, false);
MDQ_REDRAW(RedrawZoomedSpans, Drawing::Spans, true);
MDQ_REDRAW(RedrawZoomedGraphDecimated, Drawing::GraphDecimated, true);
MDQ_REDRAW(RedrawZoomedAllBins, Drawing::GraphAllBins, true);
MDQ_REDRAW(RedrawZoomedAllBinsUnsampled, Drawing::GraphAllBinsUnsampled, true);
// Every redraw a full replot (axes, ticks, labels).
MDQ_REDRAW(RedrawFullSpansWholePlot, Drawing::Spans, false, true, false);
MDQ_REDRAW(RedrawFullGraphDecimatedWholePlot, Drawing::GraphDecimated, false, true, false);
MDQ_REDRAW(RedrawFullAllBinsWholePlot, Drawing::GraphAllBins, false, true, false);
MDQ_REDRAW(RedrawFullAllBinsUnsampledWholePlot, Drawing::GraphAllBinsUnsampled, false, true,
           false);
MDQ_REDRAW(RedrawZoomedSpansWholePlot, Drawing::Spans, true, true, false);
MDQ_REDRAW(RedrawZoomedGraphDecimatedWholePlot, Drawing::GraphDecimated, true, true, false);
MDQ_REDRAW(RedrawZoomedAllBinsWholePlot, Drawing::GraphAllBins, true, true, false);
// The data path alone: what the program hands over, without painting.
MDQ_REDRAW(HandOverSpans, Drawing::Spans, false, false);
MDQ_REDRAW(HandOverZoomedSpans, Drawing::Spans, true, false);
MDQ_REDRAW(HandOverGraphDecimated, Drawing::GraphDecimated, false, false);
MDQ_REDRAW(HandOverAllBins, Drawing::GraphAllBins, false, false);
MDQ_REDRAW(HandOverZoomedAllBins, Drawing::GraphAllBins, true, false);

// Parts of a redraw: clearing the spectrum's layer (the widget's graph
// pays it; the panel's own trace is not on the layer), composing the plot's
// rectangle onto the widget, and the layer's drawing of the widget's graph.
QCustomPlot* tdcPlot() {
  return g_backend->panel()->findChild<QWidget*>("P1_TDC_GRAPH")->findChild<QCustomPlot*>();
}
void BM_FloorClearLayer(benchmark::State& s) {
  QCustomPlot* p = tdcPlot();
  QCPLayer* layer = p->layer("spectrum");
  std::vector<bool> shown;
  for (QCPLayerable* l : layer->children()) shown.push_back(l->visible()), l->setVisible(false);
  for (auto _ : s) layer->replot();
  for (std::size_t i = 0; i < shown.size(); ++i) layer->children()[int(i)]->setVisible(shown[i]);
}
void BM_FloorCompose(benchmark::State& s) {
  QCustomPlot* p = tdcPlot();
  for (auto _ : s) p->repaint(p->axisRect()->rect().adjusted(-1, -2, 1, 1));
}
void layerAlone(benchmark::State& s, Drawing drawing) {
  g_backend->setSpectrumDrawing(drawing);
  SetAxisScalingMode(p1h, P1_TDC_GRAPH, VAL_XAXIS, VAL_AUTOSCALE, 0, 0);
  handOver(0);
  g_backend->replot(P1_TDC_GRAPH);
  QCustomPlot* p = tdcPlot();
  for (auto _ : s) p->layer("spectrum")->replot();
  g_backend->setSpectrumDrawing(Drawing::Spans);
}
void BM_FloorLayerGraphDecimated(benchmark::State& s) { layerAlone(s, Drawing::GraphDecimated); }
BENCHMARK(BM_FloorClearLayer)->Unit(benchmark::kMicrosecond)->MinTime(0.5);
BENCHMARK(BM_FloorCompose)->Unit(benchmark::kMicrosecond)->MinTime(0.5);
BENCHMARK(BM_FloorLayerGraphDecimated)->Unit(benchmark::kMicrosecond)->MinTime(0.5);

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
BENCHMARK(BM_Map100x100)->Unit(benchmark::kMicrosecond)->MinTime(0.5);
}  // namespace

int main(int argc, char** argv) {
  // Offscreen unless a platform is asked for (QT_QPA_PLATFORM=xcb: on the display).
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  mdq::platform::QtBackend backend;
  g_backend = &backend;
  mdq::platform::set_backend(&backend);
  p1h = LoadPanel(0, "mdq_ui.uir", 1);
  if (p1h < 0) return 1;
  DisplayPanel(p1h);
  app.processEvents();
  fill();
  toLiveSpectra();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  mdq::platform::set_backend(nullptr);
  return 0;
}
