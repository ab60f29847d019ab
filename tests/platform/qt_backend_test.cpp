// The Qt panel backend on the offscreen platform: what the spectrum graphs
// keep across redraws, how they bound a zoom, what they draw, and what the
// scan map does with a click.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QToolTip>
#include <qcustomplot.h>

#include <fcntl.h>
#include <unistd.h>

#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "backend.h"
#include "mdq_ui.h"
#include "platform.h"
#include "qt_backend.h"
#include "instrumented.h"

namespace {

using mdq::platform::QtBackend;

class QtPanel : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "qt_backend_test";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
  }
  static void TearDownTestSuite() {
    delete app_;
    app_ = nullptr;
  }
  void SetUp() override {
    mdq::platform::reset_for_tests();
    backend_ = std::make_unique<QtBackend>();
    mdq::platform::set_backend(backend_.get());
    p1h = LoadPanel(0, "mdq_ui.uir", 1);
    ASSERT_GT(p1h, 0);
    DisplayPanel(p1h);
    QApplication::processEvents();
  }
  void TearDown() override {
    mdq::platform::set_backend(nullptr);
    backend_.reset();
    // Events the graphs posted go with the panel.
    int panel = 0, control = 0;
    while (GetUserEvent(0, &panel, &control) != 0) {
    }
  }
  QCustomPlot* plot_of(int control) {
    QWidget* holder = backend_->panel()->findChild<QWidget*>(mdq_ui_find(control)->name);
    return holder ? holder->findChild<QCustomPlot*>() : nullptr;
  }
  void draw(int graph, std::size_t n, int fill = 3) {
    std::vector<std::int32_t> bins(n, fill);
    PlotY(p1h, graph, bins.data(), bins.size(), VAL_INTEGER, VAL_THICK_LINE, VAL_NO_POINT,
          VAL_SOLID, 1, 0xFF0000);
  }
  static void range(int graph, int* mode, double* lo, double* hi) {
    GetAxisScalingMode(p1h, graph, VAL_XAXIS, mode, lo, hi);
  }
  // The controls whose events arrive within `ms` (Qt events processed meanwhile).
  static std::vector<int> events_within(int ms) {
    std::vector<int> seen;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
      QApplication::processEvents(QEventLoop::AllEvents, 10);
      int panel = 0, control = 0;
      while (GetUserEvent(0, &panel, &control) != 0) seen.push_back(control);
    }
    return seen;
  }
  // The graph as shown once what is pending is drawn.
  QImage shown(int control) {
    backend_->replot(control);
    return plot_of(control)->grab().toImage().convertToFormat(QImage::Format_RGB32);
  }
  // The rows of pixel column x painted in colour c: {first, last}, {-1, -1} when none.
  static std::pair<int, int> painted(const QImage& img, int x, QRgb c) {
    int first = -1, last = -1;
    for (int y = 0; y < img.height(); ++y)
      if ((img.pixel(x, y) & 0xFFFFFF) == (c & 0xFFFFFF)) {
        if (first < 0) first = y;
        last = y;
      }
    return {first, last};
  }
  // The pixel a position is in, as aliased lines are drawn.
  static int column(QCustomPlot* p, double bin) {
    return static_cast<int>(std::floor(p->xAxis->coordToPixel(bin)));
  }
  static int row(QCustomPlot* p, double counts) {
    return static_cast<int>(std::floor(p->yAxis->coordToPixel(counts)));
  }
  static constexpr QRgb kRed = 0xFF0000, kGreen = 0x009600;
  static inline QApplication* app_ = nullptr;
  std::unique_ptr<QtBackend> backend_;
};

TEST_F(QtPanel, ZoomStaysThroughNewDataUntilResetOrANewAxis) {
  draw(P1_TDC_GRAPH, 65536);
  int mode = -1;
  double lo = 0, hi = 0;
  range(P1_TDC_GRAPH, &mode, &lo, &hi);
  EXPECT_EQ(mode, VAL_AUTOSCALE);
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, 65535);

  SetAxisScalingMode(p1h, P1_TDC_GRAPH, VAL_XAXIS, VAL_MANUAL, 7800, 8300);
  draw(P1_TDC_GRAPH, 65536, 5);  // a refresh
  range(P1_TDC_GRAPH, &mode, &lo, &hi);
  EXPECT_EQ(mode, VAL_MANUAL);
  EXPECT_DOUBLE_EQ(lo, 7800);
  EXPECT_DOUBLE_EQ(hi, 8300);
  range(P1_ADC_GRAPH, &mode, &lo, &hi);
  EXPECT_EQ(mode, VAL_AUTOSCALE) << "the other graph keeps its own view";

  SetAxisScalingMode(p1h, P1_TDC_GRAPH, VAL_XAXIS, VAL_AUTOSCALE, 0, 0);
  range(P1_TDC_GRAPH, &mode, &lo, &hi);
  EXPECT_EQ(mode, VAL_AUTOSCALE);
  EXPECT_EQ(hi, 65535);

  // A spectrum of another length is a new axis: the zoom cannot apply.
  SetAxisScalingMode(p1h, P1_TDC_GRAPH, VAL_XAXIS, VAL_MANUAL, 100, 200);
  draw(P1_TDC_GRAPH, 4096);
  range(P1_TDC_GRAPH, &mode, &lo, &hi);
  EXPECT_EQ(mode, VAL_AUTOSCALE);
  EXPECT_EQ(hi, 4095);
}

TEST_F(QtPanel, ZoomIsHeldInsideTheSpectrumAndToAFewBins) {
  draw(P1_ADC_GRAPH, 4096);
  int mode = -1;
  double lo = 0, hi = 0;
  SetAxisScalingMode(p1h, P1_ADC_GRAPH, VAL_XAXIS, VAL_MANUAL, -500, 100);  // 601 bins
  range(P1_ADC_GRAPH, &mode, &lo, &hi);
  EXPECT_EQ(mode, VAL_MANUAL);
  EXPECT_DOUBLE_EQ(lo, 0);
  EXPECT_DOUBLE_EQ(hi, 600);
  SetAxisScalingMode(p1h, P1_ADC_GRAPH, VAL_XAXIS, VAL_MANUAL, 4000, 5000);
  range(P1_ADC_GRAPH, &mode, &lo, &hi);
  EXPECT_DOUBLE_EQ(hi, 4095);
  EXPECT_DOUBLE_EQ(lo, 4095 - 1000);
  SetAxisScalingMode(p1h, P1_ADC_GRAPH, VAL_XAXIS, VAL_MANUAL, 10, 10.5);
  range(P1_ADC_GRAPH, &mode, &lo, &hi);
  EXPECT_GE(hi - lo + 1, 4.0 - 1e-9) << "never narrower than a few bins";
  SetAxisScalingMode(p1h, P1_ADC_GRAPH, VAL_XAXIS, VAL_MANUAL, -10, 5000);
  range(P1_ADC_GRAPH, &mode, &lo, &hi);
  EXPECT_EQ(mode, VAL_AUTOSCALE) << "the whole spectrum in view is no zoom";
}

TEST_F(QtPanel, ARangeChangeTellsTheProgramOnce) {
  draw(P1_TDC_GRAPH, 65536);
  events_within(100);
  QCustomPlot* p = plot_of(P1_TDC_GRAPH);
  ASSERT_TRUE(p);
  // A wheel turn or drag: several range changes in a row.
  for (int k = 0; k < 5; ++k) p->xAxis->setRange(1000 + k, 3000 + k);
  const std::vector<int> seen = events_within(1000);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), int{P1_TDC_GRAPH}), 1);
  int mode = -1;
  double lo = 0, hi = 0;
  range(P1_TDC_GRAPH, &mode, &lo, &hi);
  EXPECT_EQ(mode, VAL_MANUAL);
  EXPECT_DOUBLE_EQ(lo, 1004.5);
}

TEST_F(QtPanel, AOneBinSpikeIsPaintedToItsHeightAtFullRange) {
  std::vector<std::int32_t> bins(65536, 1);
  bins[12345] = 999;
  PlotY(p1h, P1_TDC_GRAPH, bins.data(), bins.size(), VAL_INTEGER, VAL_THICK_LINE, VAL_NO_POINT,
        VAL_SOLID, 1, 0xFF0000);
  QCustomPlot* p = plot_of(P1_TDC_GRAPH);
  ASSERT_TRUE(p);
  const QImage img = shown(P1_TDC_GRAPH);
  EXPECT_GE(p->yAxis->range().upper, 999);
  EXPECT_LT(p->yAxis->range().upper, 1200) << "the y axis follows the highest count";
  // The spike's column (a pixel holds ~120 bins here) runs from the line
  // of ones up to 999, unbroken.
  const int x = column(p, 12345);
  const auto [top, bottom] = painted(img, x, kRed);
  EXPECT_NEAR(top, row(p, 999), 1);
  EXPECT_NEAR(bottom, row(p, 1), 1);
  for (int y = top; y <= bottom; ++y) EXPECT_EQ(img.pixel(x, y) & 0xFFFFFF, kRed) << y;
  // Away from it, only the line of ones.
  for (int dx : {-5, 5, 200}) {
    const auto [t, b] = painted(img, x + dx, kRed);
    EXPECT_NEAR(t, row(p, 1), 1) << dx;
    EXPECT_NEAR(b, row(p, 1), 1) << dx;
  }
}

TEST_F(QtPanel, AnEmptyRangePaintsNothingAboveTheFloor) {
  std::vector<std::int32_t> bins(65536, 40);
  std::fill(bins.begin() + 20000, bins.begin() + 30000, 0);
  PlotY(p1h, P1_TDC_GRAPH, bins.data(), bins.size(), VAL_INTEGER, VAL_THICK_LINE, VAL_NO_POINT,
        VAL_SOLID, 1, 0xFF0000);
  QCustomPlot* p = plot_of(P1_TDC_GRAPH);
  const QImage img = shown(P1_TDC_GRAPH);
  const int floor = row(p, 0);
  for (int x = column(p, 20200); x <= column(p, 29800); ++x) {
    const auto [top, bottom] = painted(img, x, kRed);
    EXPECT_TRUE(top < 0 || top >= floor - 1) << "column " << x << " painted from row " << top;
  }
  // The edges drop to the floor and rise back, each in one column.
  for (double edge : {20000.0, 30000.0}) {
    bool drop = false;
    for (int x = column(p, edge) - 1; x <= column(p, edge) + 1; ++x) {
      const auto [top, bottom] = painted(img, x, kRed);
      drop |= top >= 0 && top <= row(p, 40) + 1 && bottom >= floor - 2;
    }
    EXPECT_TRUE(drop) << edge;
  }
  EXPECT_NEAR(painted(img, column(p, 10000), kRed).first, row(p, 40), 1);
}

TEST_F(QtPanel, ZoomedInEachBinIsAStepCoveringItsPixels) {
  std::vector<std::int32_t> bins(65536, 1);
  for (int i = 12290; i < 12410; ++i) bins[static_cast<std::size_t>(i)] = i % 2 ? 10 : 30;
  PlotY(p1h, P1_TDC_GRAPH, bins.data(), bins.size(), VAL_INTEGER, VAL_THICK_LINE, VAL_NO_POINT,
        VAL_SOLID, 1, 0xFF0000);
  SetAxisScalingMode(p1h, P1_TDC_GRAPH, VAL_XAXIS, VAL_MANUAL, 12300, 12400);
  QCustomPlot* p = plot_of(P1_TDC_GRAPH);
  const QImage img = shown(P1_TDC_GRAPH);
  ASSERT_GT(p->xAxis->coordToPixel(1) - p->xAxis->coordToPixel(0), 4) << "bins a few pixels wide";
  for (int b = 12310; b < 12390; ++b) {
    const int level = row(p, b % 2 ? 10 : 30);
    // Inside the bin, flat at its count (a line between bin centres would slope).
    for (int x = column(p, b - 0.5) + 1; x <= column(p, b + 0.5) - 1; ++x) {
      const auto [top, bottom] = painted(img, x, kRed);
      EXPECT_NEAR(top, level, 1) << "bin " << b << " column " << x;
      EXPECT_NEAR(bottom, level, 1) << "bin " << b << " column " << x;
    }
    // At its edge, the rise from the bin before, unbroken.
    const int edge = column(p, b - 0.5);
    int top = img.height(), bottom = -1;
    for (int x = edge - 1; x <= edge + 1; ++x) {
      const auto [t, bt] = painted(img, x, kRed);
      if (t >= 0) top = std::min(top, t), bottom = std::max(bottom, bt);
    }
    EXPECT_LE(top, row(p, 30) + 1) << b;
    EXPECT_GE(bottom, row(p, 10) - 1) << b;
  }
  // The y axis follows what is in view.
  SetAxisScalingMode(p1h, P1_TDC_GRAPH, VAL_XAXIS, VAL_MANUAL, 20000, 20100);
  EXPECT_LT(p->yAxis->range().upper, 10);
}

TEST_F(QtPanel, ColumnsMeetingOnABinEdgeAreJoined) {
  // 512 columns of exactly 8 bins: no bin straddles two columns, so the
  // line between them is the join alone.
  QCustomPlot* p = plot_of(P1_ADC_GRAPH);
  ASSERT_TRUE(p);
  std::vector<std::int32_t> bins(4096);
  for (int i = 0; i < 4096; ++i) bins[static_cast<std::size_t>(i)] = (i / 8) % 2 ? 50 : 10;
  PlotY(p1h, P1_ADC_GRAPH, bins.data(), bins.size(), VAL_INTEGER, VAL_THICK_LINE, VAL_NO_POINT,
        VAL_SOLID, 1, 0xFF0000);
  for (int k = 0; k < 3 && p->axisRect()->width() != 512; ++k) {
    p->resize(p->width() + 512 - p->axisRect()->width(), p->height());
    p->replot();
  }
  ASSERT_EQ(p->axisRect()->width(), 512);
  const QImage img = shown(P1_ADC_GRAPH);
  const int left = p->axisRect()->left();
  int high = 0, low = 0;
  for (int x = left + 1; x < left + 511; ++x) {
    const auto [top, bottom] = painted(img, x, kRed);
    const auto [nextTop, nextBottom] = painted(img, x + 1, kRed);
    ASSERT_GE(top, 0) << x;
    // Neighbours touch, at least at a corner: the line is unbroken.
    EXPECT_LE(nextTop, bottom + 1) << x;
    EXPECT_GE(nextBottom, top - 1) << x;
    high += std::abs(top - row(p, 50)) <= 1;
    low += std::abs(bottom - row(p, 10)) <= 1;
  }
  EXPECT_GT(high, 200);
  EXPECT_GT(low, 200);
}

TEST_F(QtPanel, LogModeDrawsCountsOnTheLogAxisAndEmptyBinsBelowIt) {
  std::vector<std::int32_t> bins(65536, 10);
  std::fill(bins.begin() + 20000, bins.begin() + 30000, 0);
  bins[40000] = 1000;
  PlotY(p1h, P1_TDC_GRAPH, bins.data(), bins.size(), VAL_INTEGER, VAL_THICK_LINE, VAL_NO_POINT,
        VAL_SOLID, 1, 0xFF0000);
  backend_->setAttribute(P1_TDC_GRAPH, ATTR_YMAP_MODE, VAL_LOG);
  QCustomPlot* p = plot_of(P1_TDC_GRAPH);
  const QImage img = shown(P1_TDC_GRAPH);
  ASSERT_EQ(p->yAxis->scaleType(), QCPAxis::stLogarithmic);
  // Ten counts a decade below a thousand: at their places on the log scale.
  const int spike = column(p, 40000);
  EXPECT_NEAR(painted(img, spike, kRed).first, row(p, 1000), 1);
  EXPECT_NEAR(painted(img, spike + 10, kRed).first, row(p, 10), 1);
  EXPECT_NEAR(painted(img, spike + 10, kRed).second, row(p, 10), 1);
  EXPECT_GT(row(p, 10) - row(p, 1000), 20) << "the decades are apart";
  // Empty bins sit below the axis: nothing of them is painted in the plot.
  for (int x = column(p, 20200); x <= column(p, 29800); ++x)
    EXPECT_EQ(painted(img, x, kRed).first, -1) << x;
  // Back to linear: the same bins, the same places as the axis gives them.
  backend_->setAttribute(P1_TDC_GRAPH, ATTR_YMAP_MODE, VAL_LINEAR);
  const QImage lin = shown(P1_TDC_GRAPH);
  EXPECT_NEAR(painted(lin, spike, kRed).first, row(p, 1000), 1);
  EXPECT_NEAR(painted(lin, spike + 10, kRed).first, row(p, 10), 1);
}

TEST_F(QtPanel, TheFitIsDrawnOverTheSpectrum) {
  std::vector<std::int32_t> bins(4096, 20);
  PlotY(p1h, P1_ADC_GRAPH, bins.data(), bins.size(), VAL_INTEGER, VAL_THICK_LINE, VAL_NO_POINT,
        VAL_SOLID, 1, 0xFF0000);
  const std::vector<double> x{1000, 3000}, y{20, 20};
  backend_->setOverlay(P1_ADC_GRAPH, x, y);
  QCustomPlot* p = plot_of(P1_ADC_GRAPH);
  const QImage img = shown(P1_ADC_GRAPH);
  const int at = column(p, 2000);
  EXPECT_NEAR(painted(img, at, kGreen).first, row(p, 20), 2);
  EXPECT_EQ(painted(img, at, kRed).first, -1) << "the spectrum shows through the fit";
  EXPECT_NEAR(painted(img, column(p, 500), kRed).first, row(p, 20), 1);
}

TEST_F(QtPanel, ShiftDragFramesTheZoom) {
  draw(P1_TDC_GRAPH, 65536);
  QCustomPlot* p = plot_of(P1_TDC_GRAPH);
  ASSERT_TRUE(p);
  p->replot();
  const double y = p->yAxis->coordToPixel(1);
  const QPointF a(p->xAxis->coordToPixel(10000), y), b(p->xAxis->coordToPixel(30000), y);
  QMouseEvent press(QEvent::MouseButtonPress, a, p->mapToGlobal(a), Qt::LeftButton,
                    Qt::LeftButton, Qt::ShiftModifier);
  QApplication::sendEvent(p, &press);
  QMouseEvent move(QEvent::MouseMove, b, p->mapToGlobal(b), Qt::NoButton, Qt::LeftButton,
                   Qt::ShiftModifier);
  QApplication::sendEvent(p, &move);
  QMouseEvent release(QEvent::MouseButtonRelease, b, p->mapToGlobal(b), Qt::LeftButton,
                      Qt::NoButton, Qt::ShiftModifier);
  QApplication::sendEvent(p, &release);
  int mode = -1;
  double lo = 0, hi = 0;
  range(P1_TDC_GRAPH, &mode, &lo, &hi);
  EXPECT_EQ(mode, VAL_MANUAL);
  // A pixel spans about 80 bins here.
  EXPECT_NEAR(lo, 10000, 200);
  EXPECT_NEAR(hi, 30000, 200);
}

TEST_F(QtPanel, ARefreshWithinTheAxesRepaintsTheSpectrumAlone) {
  QCustomPlot* p = plot_of(P1_ADC_GRAPH);
  ASSERT_TRUE(p);
  int whole = 0;
  QObject::connect(p, &QCustomPlot::afterReplot, [&whole] { ++whole; });
  auto refresh = [&](int peak) {
    std::vector<std::int32_t> bins(4096, 1);
    bins[700] = peak;
    PlotY(p1h, P1_ADC_GRAPH, bins.data(), bins.size(), VAL_INTEGER, VAL_THICK_LINE, VAL_NO_POINT,
          VAL_SOLID, 1, 0x0000FF);
    QApplication::processEvents();
    QApplication::processEvents();
  };
  refresh(100);
  const int first = whole;
  EXPECT_GE(first, 1);
  const double top = p->yAxis->range().upper;
  EXPECT_GE(top, 100);
  refresh(100);
  refresh(90);  // still fills most of the axis
  EXPECT_EQ(whole, first) << "the axes were replotted for data within them";
  EXPECT_EQ(p->yAxis->range().upper, top);
  // The layer holds the new data all the same, nothing of the old.
  const QImage img = p->grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_NEAR(painted(img, column(p, 700), 0x0000FF).first, row(p, 90), 1);

  refresh(200);  // past the top: new axes, with room to grow
  EXPECT_GT(whole, first);
  EXPECT_GE(p->yAxis->range().upper, 200 * 1.08 * 1.2);
  const int grown = whole;
  refresh(220);
  EXPECT_EQ(whole, grown) << "growth within the headroom keeps the axes";
  refresh(20);  // far below: framed tightly again
  EXPECT_GT(whole, grown);
  EXPECT_LT(p->yAxis->range().upper, 30);
}

TEST_F(QtPanel, ARefreshLeavesNothingOfTheSpectrumBefore) {
  QCustomPlot* p = plot_of(P1_TDC_GRAPH);
  ASSERT_TRUE(p);
  auto plot = [&](int spikeAt, int color) {
    std::vector<std::int32_t> bins(65536, 5);
    bins[static_cast<std::size_t>(spikeAt)] = 500;
    PlotY(p1h, P1_TDC_GRAPH, bins.data(), bins.size(), VAL_INTEGER, VAL_THICK_LINE, VAL_NO_POINT,
          VAL_SOLID, 1, color);
    return shown(P1_TDC_GRAPH);
  };
  plot(12345, 0xFF0000);
  const double top = p->yAxis->range().upper;
  QImage img = plot(40000, 0xFF0000);  // within the same axes: the layer alone
  ASSERT_EQ(p->yAxis->range().upper, top);
  EXPECT_NEAR(painted(img, column(p, 40000), kRed).first, row(p, 500), 1);
  EXPECT_NEAR(painted(img, column(p, 12345), kRed).first, row(p, 5), 1) << "the old spike stayed";
  img = plot(40000, 0x0000FF);  // another colour: all of it
  EXPECT_EQ(painted(img, column(p, 40000), kRed).first, -1);
  EXPECT_EQ(painted(img, column(p, 30000), kRed).first, -1);
  EXPECT_NEAR(painted(img, column(p, 40000), 0x0000FF).first, row(p, 500), 1);
  // A new size: the columns follow it.
  p->resize(p->width() - 100, p->height());
  p->replot();
  img = shown(P1_TDC_GRAPH);
  EXPECT_NEAR(painted(img, column(p, 40000), 0x0000FF).first, row(p, 500), 1);
  EXPECT_NEAR(painted(img, column(p, 12345), 0x0000FF).first, row(p, 5), 1);
}

TEST_F(QtPanel, WhereTheSpectrumWasTheGridComesBackAsAFreshDrawingShowsIt) {
  QCustomPlot* p = plot_of(P1_TDC_GRAPH);
  ASSERT_TRUE(p);
  auto plot = [&](int from) {
    std::vector<std::int32_t> bins(65536, 5);
    bins[50000] = 500;  // the same highest count: the axes stay
    std::fill(bins.begin() + from, bins.begin() + from + 600, 500);
    PlotY(p1h, P1_TDC_GRAPH, bins.data(), bins.size(), VAL_INTEGER, VAL_THICK_LINE, VAL_NO_POINT,
          VAL_SOLID, 1, 0xFF0000);
    return shown(P1_TDC_GRAPH);
  };
  plot(12000);
  const QImage moved = plot(30000);  // the trace's pixels alone
  p->replot(QCustomPlot::rpImmediateRefresh);
  const QImage fresh = p->grab().toImage().convertToFormat(QImage::Format_RGB32);
  // The old block's edges ran across the grid lines.
  int under = 0;
  for (int x = column(p, 12000) - 1; x <= column(p, 12600) + 1; ++x)
    for (int y = row(p, 500); y < row(p, 5); ++y) {
      const QRgb c = fresh.pixel(x, y) & 0xFFFFFF;
      under += c != 0xFFFFFF && c != kRed;
      ASSERT_EQ(moved.pixel(x, y), fresh.pixel(x, y)) << "column " << x << " row " << y;
    }
  EXPECT_GT(under, 0) << "the test needs a grid line under the old trace";
  EXPECT_NEAR(painted(moved, column(p, 30300), kRed).first, row(p, 500), 1);
}

TEST_F(QtPanel, AVectorHandedOverIsDrawnAndComesBackReadyForTheNextRefresh) {
  QCustomPlot* p = plot_of(P1_TDC_GRAPH);
  ASSERT_TRUE(p);
  std::vector<std::int32_t> bins(65536, 5);
  bins[20000] = 400;
  PlotYVector(p1h, P1_TDC_GRAPH, bins, 0xFF0000);  // the graph had nothing before
  ASSERT_EQ(bins.size(), 65536u);
  QImage img = shown(P1_TDC_GRAPH);
  EXPECT_NEAR(painted(img, column(p, 20000), kRed).first, row(p, 400), 1);
  // Refilled as a refresh does, whatever came back in it.
  std::fill(bins.begin(), bins.end(), 5);
  bins[45000] = 400;
  PlotYVector(p1h, P1_TDC_GRAPH, bins, 0xFF0000);
  ASSERT_EQ(bins.size(), 65536u);
  img = shown(P1_TDC_GRAPH);
  EXPECT_NEAR(painted(img, column(p, 45000), kRed).first, row(p, 400), 1);
  EXPECT_NEAR(painted(img, column(p, 20000), kRed).first, row(p, 5), 1);
}

TEST_F(QtPanel, HoverNamesTheBinAndItsCount) {
  std::vector<std::int32_t> bins(4096, 0);
  bins[1234] = 77;
  PlotY(p1h, P1_ADC_GRAPH, bins.data(), bins.size(), VAL_INTEGER, VAL_THICK_LINE, VAL_NO_POINT,
        VAL_SOLID, 1, 0x0000FF);
  SetAxisScalingMode(p1h, P1_ADC_GRAPH, VAL_XAXIS, VAL_MANUAL, 1200, 1300);
  QCustomPlot* p = plot_of(P1_ADC_GRAPH);
  ASSERT_TRUE(p);
  p->replot();
  const QPointF at(p->xAxis->coordToPixel(1234.2), p->yAxis->coordToPixel(10));
  QMouseEvent move(QEvent::MouseMove, at, p->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                   Qt::NoModifier);
  QApplication::sendEvent(p, &move);
  EXPECT_EQ(QToolTip::text(), QStringLiteral("bin 1234: 77 counts"));
}

TEST_F(QtPanel, MapClickSetsTheCellAndPostsTheMapEvent) {
  mdq::platform::MapPicture pic;
  pic.nx = 3, pic.ny = 2;
  pic.xset = {0, 10, 20};
  pic.yset = {5, 15};
  pic.values = {1, 2, 3, 4, NAN, 6};
  backend_->showMap(P1_MAP, pic);
  QCustomPlot* p = plot_of(P1_MAP);
  ASSERT_TRUE(p);
  p->replot();
  events_within(50);
  const QPointF at(p->xAxis->coordToPixel(2), p->yAxis->coordToPixel(1));
  QMouseEvent press(QEvent::MouseButtonPress, at, p->mapToGlobal(at), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(p, &press);
  const std::vector<int> seen = events_within(200);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), int{P1_MAP}), 1);
  int ix = -1, iy = -1;
  GetCtrlVal(p1h, P1_LOAD_IX, &ix);
  GetCtrlVal(p1h, P1_LOAD_IY, &iy);
  EXPECT_EQ(ix, 2);
  EXPECT_EQ(iy, 1);

  // Outside the grid: nothing.
  const QPointF off(p->xAxis->coordToPixel(-2), p->yAxis->coordToPixel(0));
  QMouseEvent miss(QEvent::MouseButtonPress, off, p->mapToGlobal(off), Qt::LeftButton,
                   Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(p, &miss);
  EXPECT_TRUE(events_within(100).empty());
}

TEST_F(QtPanel, MapScaleSpansTheValuesShownAndLeavesGapsBlank) {
  mdq::platform::MapPicture pic;
  pic.nx = 2, pic.ny = 2;
  pic.xset = {0, 1};
  pic.yset = {0, 1};
  pic.values = {10, NAN, 1000, 100};
  backend_->showMap(P1_MAP, pic);
  QCustomPlot* p = plot_of(P1_MAP);
  ASSERT_TRUE(p);
  auto* map = qobject_cast<QCPColorMap*>(p->plottable(0));
  ASSERT_TRUE(map);
  EXPECT_DOUBLE_EQ(map->dataRange().lower, 10);
  EXPECT_DOUBLE_EQ(map->dataRange().upper, 1000);
  EXPECT_TRUE(std::isnan(map->data()->cell(1, 0)));
  EXPECT_EQ(map->data()->cell(0, 1), 1000);
  pic.log = true;
  pic.values = {0, 1, 10, -1};  // no logarithm of 0 or less: blank
  backend_->showMap(P1_MAP, pic);
  EXPECT_TRUE(std::isnan(map->data()->cell(0, 0)));
  EXPECT_TRUE(std::isnan(map->data()->cell(1, 1)));
  EXPECT_DOUBLE_EQ(map->dataRange().lower, 1);
  EXPECT_EQ(map->dataScaleType(), QCPAxis::stLogarithmic);
}

}  // namespace

namespace {

// A flood of console lines from another thread (a read-out printing every
// frame) must not stall the panel: the event loop keeps its timer pace and
// the view, bounded, ends with the newest line.
// A run sets the event counter for every event: the panel shows it a few
// times a second, not at every change, and ends on the last value; a lone
// change after a quiet spell is shown at once.
TEST_F(QtPanel, IndicatorsFollowAFloodOfChangesAtAFewRepaintsASecond) {
  auto* counter = backend_->panel()->findChild<QSpinBox*>(QStringLiteral("P1_EVENT"));
  ASSERT_NE(counter, nullptr);
  const auto pump_until = [](const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 1);
    return done();
  };
  SetCtrlAttribute(p1h, P1_EVENT, ATTR_MAX_VALUE, 100000000);
  pump_until([] { return false; }, 200);  // quiet spell
  QElapsedTimer lone;
  lone.start();
  SetCtrlVal(p1h, P1_EVENT, 7);
  ASSERT_TRUE(pump_until([&] { return counter->value() == 7; }, 1000));
  EXPECT_LT(lone.elapsed(), 50 * mdq::test::kSlowdown);

  std::atomic<bool> done{false};
  std::atomic<int> last{0};
  std::thread run([&] {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    for (int n = 1; std::chrono::steady_clock::now() < end; ++n) {
      SetCtrlVal(p1h, P1_EVENT, n);
      last = n;
      std::this_thread::sleep_for(std::chrono::microseconds(50));  // ~20,000 events/s
    }
    done = true;
  });
  int shown = counter->value(), changes = 0;
  while (!done.load()) {
    QApplication::processEvents(QEventLoop::AllEvents, 1);
    if (counter->value() != shown) ++changes, shown = counter->value();
  }
  run.join();
  ASSERT_TRUE(pump_until([&] { return counter->value() == last.load(); }, 1000))
      << "the counter must end on the last value set";
  EXPECT_GE(changes, 3) << "the counter must follow the run";
  EXPECT_LE(changes, 13) << "every change repainted the panel";
}

TEST_F(QtPanel, ConsoleFloodKeepsThePanelResponsive) {
  auto* view = backend_->panel()->findChild<QPlainTextEdit*>(QStringLiteral("console"));
  ASSERT_NE(view, nullptr);
  std::atomic<bool> done{false};
  std::atomic<long> written{0};
  // stdout off to /dev/null for the flood: the terminal is not under test.
  std::fflush(stdout);
  const int saved = dup(1);
  const int devnull = open("/dev/null", O_WRONLY);
  dup2(devnull, 1);
  std::thread flood([&] {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    char line[64];
    while (std::chrono::steady_clock::now() < end) {
      for (int i = 0; i < 100; ++i) {
        std::snprintf(line, sizeof line, "[%ld] 0x81000123 flood line\n", written.load());
        con_write(line);
        ++written;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(900));  // ~100,000 lines/s
    }
    done = true;
  });
  QElapsedTimer clock;
  clock.start();
  qint64 last = 0, worstGap = 0;
  int ticks = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    if (ticks++ > 0) worstGap = std::max(worstGap, now - last);
    last = now;
  });
  tick.start(10);
  while (!done.load()) QApplication::processEvents(QEventLoop::AllEvents, 5);
  flood.join();
  // The view catches up within its refresh period.
  const qint64 settle = clock.elapsed() + 300;
  while (clock.elapsed() < settle) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  close(devnull);
  EXPECT_GE(written.load(), 50000 / mdq::test::kSlowdown) << "the flood itself was throttled";
  EXPECT_GT(ticks, 50 / mdq::test::kSlowdown);
  // 10 ms ticks: a console that hands the view one update per line stalls
  // the loop for seconds; batched, the worst gap stays near the tick.
  EXPECT_LT(worstGap, 100 * mdq::test::kSlowdown) << "the event loop stalled during the flood";
  const QString text = view->toPlainText();
  const std::string newest = "[" + std::to_string(written.load() - 1) + "] 0x81000123";
  EXPECT_TRUE(text.contains(QString::fromStdString(newest)))
      << "the newest line is not in the view: " << text.right(200).toStdString();
  EXPECT_LE(view->blockCount(), 1000);
}

long resident_bytes() {
  long pages = 0, resident = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * sysconf(_SC_PAGESIZE);
}

// While the panel thread is busy elsewhere the lines for the view wait; what
// waits is bounded (the oldest go, with a mark saying how many), so a long
// stall under a flood neither grows memory nor floods the view afterwards.
TEST_F(QtPanel, ConsoleLinesHeldWhileThePanelIsBusyStayBounded) {
  auto* view = backend_->panel()->findChild<QPlainTextEdit*>(QStringLiteral("console"));
  ASSERT_NE(view, nullptr);
  view->clear();
  std::fflush(stdout);
  const int saved = dup(1);
  const int devnull = open("/dev/null", O_WRONLY);
  dup2(devnull, 1);
  constexpr long kLines = 200000;  // ~9 MB of text
  const long before = resident_bytes();
  std::thread flood([] {
    char line[64];
    for (long i = 0; i < kLines; ++i) {
      std::snprintf(line, sizeof line, "[%ld] 0x81000123 held back line\n", i);
      con_write(line);
    }
  });
  flood.join();  // the panel thread took no events meanwhile
  const long grown = resident_bytes() - before;
  QElapsedTimer clock;
  clock.start();
  const std::string newest = "[" + std::to_string(kLines - 1) + "] 0x81000123";
  while (clock.elapsed() < 2000 &&
         !view->toPlainText().contains(QString::fromStdString(newest)))
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  close(devnull);
  const QString text = view->toPlainText();
  EXPECT_TRUE(text.contains(QString::fromStdString(newest))) << text.right(200).toStdString();
  EXPECT_TRUE(text.contains(QStringLiteral("console line(s) not shown here")))
      << "lines were left out without a mark";
  EXPECT_LE(view->blockCount(), 1000);
  // The lines held for the view are capped at 128 KB; one queued update per
  // line would hold all 200,000 of them (tens of MB). (The address
  // sanitizer keeps freed memory quarantined, so there only the cap above counts.)
  if (!mdq::test::kInstrumented) {
    EXPECT_LT(grown, 4L << 20) << "memory grew by " << grown << " bytes while the panel was busy";
  }
}

}  // namespace
