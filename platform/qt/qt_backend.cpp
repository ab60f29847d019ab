#include "qt_backend.h"

#include <atomic>
#include <functional>

#include <QAbstractButton>
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSpinBox>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QToolTip>
#include <QtUiTools/QUiLoader>
#include <qcustomplot.h>
#include <algorithm>
#include <cmath>

#include "mdq_ui.h"
#include "platform.h"
#include "trace_plot.h"

namespace mdq::platform {

namespace {
// Narrowest visible range, in bins.
constexpr double kMinSpan = 4;
// Range changes (a drag, the wheel) reach the program at most this often.
constexpr int kRangeNotifyMs = 60;
// Closest spacing of indicator repaints while values keep changing.
constexpr std::chrono::milliseconds kValueFlush{100};

QString resolvePanelFile(const std::string& file) {
  QString f = QString::fromStdString(file);
  if (QFileInfo::exists(f)) return f;
  QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(f);
  if (QFileInfo::exists(beside)) return beside;
  return f;
}
}  // namespace

QtBackend::QtBackend() {
  dispatcher_ = QAbstractEventDispatcher::instance(QCoreApplication::instance()->thread());
  // Bounds every wait in processEvents even when nothing else happens.
  heartbeat_ = new QTimer(this);
  heartbeat_->setInterval(100);
  connect(heartbeat_, &QTimer::timeout, [] { con_flush(); });
  heartbeat_->start();
  // Indicators follow the program at once when they change now and then,
  // and at most every kValueFlush when they change all the time: a run
  // showing every event number repainted the panel 50 times a second, and
  // those bursts of the panel thread (and of the X server) cost the run
  // about 5 % of its rate on two cores.
  valueTimer_ = new QTimer(this);
  valueTimer_->setSingleShot(true);
  connect(valueTimer_, &QTimer::timeout, this, &QtBackend::flushValues);
}

QtBackend::~QtBackend() { delete panel_; }

QWidget* QtBackend::widget(int control) const {
  auto it = widgets_.find(control);
  return it == widgets_.end() ? nullptr : it->second.data();
}

int QtBackend::loadPanel(const std::string& file) {
  QString path = resolvePanelFile(file);
  QFile f(path);
  if (!f.open(QFile::ReadOnly)) {
    con_printf("Cannot open the panel description \"%s\": %s\n", path.toLocal8Bit().constData(),
               f.errorString().toLocal8Bit().constData());
    return -1;
  }
  QUiLoader loader;
  QWidget* w = loader.load(&f, nullptr);
  if (!w) {
    con_printf("The panel description \"%s\" is not readable: %s\n", path.toLocal8Bit().constData(),
               loader.errorString().toLocal8Bit().constData());
    return -1;
  }
  int missing = 0;
  for (const CtrlInfo& c : mdq_ui_controls()) {
    QWidget* cw = w->findChild<QWidget*>(QString::fromLatin1(c.name));
    if (!cw) {
      con_printf("The panel description \"%s\" has no control %s\n", path.toLocal8Bit().constData(),
                 c.name);
      ++missing;
      continue;
    }
    widgets_[c.id] = cw;
  }
  if (missing) {
    delete w;
    widgets_.clear();
    return -1;
  }
  panel_ = w;
  console_ = w->findChild<QPlainTextEdit*>(QStringLiteral("console"));
  if (console_) console_->setMaximumBlockCount(1000);
  bindControls();
  return 0;
}

void QtBackend::bindControls() {
  for (const CtrlInfo& c : mdq_ui_controls()) {
    QWidget* w = widget(c.id);
    switch (c.kind) {
      case CtrlKind::Command:
      case CtrlKind::Immediate:
      case CtrlKind::Toggle:
      case CtrlKind::Switch:
        bindButton(c, w);
        break;
      case CtrlKind::Ring:
      case CtrlKind::Int:
      case CtrlKind::Double:
      case CtrlKind::Text:
        bindValue(c, w);
        break;
      case CtrlKind::Graph:
        setupGraph(c.id, w);
        break;
      case CtrlKind::Map:
        setupMap(c.id, w);
        break;
      case CtrlKind::Timer:
        setupTimer(c.id, w);
        break;
    }
  }
}

void QtBackend::bindButton(const CtrlInfo& c, QWidget* w) {
  auto* b = qobject_cast<QAbstractButton*>(w);
  if (!b) return;
  const int id = c.id;
  switch (c.kind) {
    case CtrlKind::Command:
      connect(b, &QAbstractButton::clicked, this, [id] { PostControlEvent(p1h, id); });
      break;
    case CtrlKind::Immediate: {
      std::string name = c.name;
      connect(b, &QAbstractButton::clicked, this, [name, id] {
        if (CtrlCallbackPtr fn = FindCtrlCallback(name.c_str())) fn(p1h, id, 0, nullptr, 0, 0);
      });
      break;
    }
    case CtrlKind::Toggle:
    case CtrlKind::Switch: {
      b->setCheckable(true);
      define_control(id, false, 0, 1, b->isChecked() ? 1 : 0);
      const bool fires = c.kind == CtrlKind::Toggle;
      connect(b, &QAbstractButton::toggled, this, [id, fires](bool on) {
        set_value_from_panel(id, on ? 1.0 : 0.0);
        if (fires) PostControlEvent(p1h, id);
      });
      break;
    }
    default:
      break;
  }
}

void QtBackend::bindValue(const CtrlInfo& c, QWidget* w) {
  const int id = c.id;
  if (c.kind == CtrlKind::Ring) {
    if (auto* cb = qobject_cast<QComboBox*>(w)) {
      define_control(id, false, 0, std::max(0, cb->count() - 1), cb->currentIndex());
      connect(cb, &QComboBox::currentIndexChanged, this, [id](int i) {
        set_value_from_panel(id, i);
        PostControlEvent(p1h, id);
      });
    }
  } else if (c.kind == CtrlKind::Int) {
    if (auto* sb = qobject_cast<QSpinBox*>(w)) {
      define_control(id, false, sb->minimum(), sb->maximum(), sb->value());
      connect(sb, &QSpinBox::valueChanged, this, [id](int v) { set_value_from_panel(id, v); });
    }
  } else if (c.kind == CtrlKind::Double) {
    if (auto* sb = qobject_cast<QDoubleSpinBox*>(w)) {
      define_control(id, false, sb->minimum(), sb->maximum(), sb->value());
      connect(sb, &QDoubleSpinBox::valueChanged, this,
              [id](double v) { set_value_from_panel(id, v); });
    }
  } else if (c.kind == CtrlKind::Text) {
    if (auto* le = qobject_cast<QLineEdit*>(w)) {
      define_control(id, true, 0, 0, 0, le->text().toStdString());
      connect(le, &QLineEdit::textChanged, this,
              [id](const QString& t) { set_value_from_panel(id, t.toStdString()); });
    }
  }
}

// The panel's timer control is no widget: it names the interval and the
// callback of a timer of the event loop.
void QtBackend::setupTimer(int id, QWidget* w) {
  w->hide();
  const int interval =
      w->property("interval").isValid() ? w->property("interval").toInt() : 1000;
  const std::string cbName = w->property("callback").toString().toStdString();
  panelTimer_ = new QTimer(this);
  panelTimer_->setInterval(std::max(1, interval));
  connect(panelTimer_, &QTimer::timeout, this, [cbName, id] {
    if (CtrlCallbackPtr fn = FindCtrlCallback(cbName.c_str())) fn(p1h, id, 0, nullptr, 0, 0);
  });
}

void QtBackend::setupGraph(int control, QWidget* holder) {
  Graph g;
  auto* p = new SpectrumPlot(holder);
  p->setNotAntialiasedElements(QCP::aeAll);
  p->plotLayout()->insertRow(0);
  p->plotLayout()->addElement(0, 0, new QCPTextElement(p, holder->property("title").toString()));
  p->xAxis->setLabel(holder->property("xTitle").toString());
  p->yAxis->setLabel(QStringLiteral("counts"));
  g.plot = p;
  g.data = p->addGraph();
  g.overlay = p->addGraph();
  g.overlay->setPen(QPen(QColor(0, 150, 0), 2));
  g.overlay->setAdaptiveSampling(false);
  // The spectrum, its fit and the zoom frame on a buffered layer of their
  // own, on top: a refresh that keeps the axes repaints that layer, not
  // axes, ticks and labels. It takes the place of the widget's own top
  // layer, so a repaint still composes two buffers.
  p->addLayer(QStringLiteral("spectrum"), p->layer(QStringLiteral("legend")), QCustomPlot::limAbove);
  g.layer = p->layer(QStringLiteral("spectrum"));
  g.layer->setMode(QCPLayer::lmBuffered);
  g.data->setLayer(g.layer);
  g.data->setVisible(drawing_ != SpectrumDrawing::Spans);
  g.trace = new SpectrumTrace(p->xAxis, p->yAxis);  // under the fit
  g.trace->setLayer(g.layer);
  g.trace->setVisible(drawing_ == SpectrumDrawing::Spans);
  p->setTrace(g.trace, g.layer);
  g.overlay->setLayer(g.layer);
  p->selectionRect()->setLayer(g.layer);
  p->removeLayer(p->layer(QStringLiteral("overlay")));
  // The x axis is the user's; y follows the counts in view.
  p->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
  p->axisRect()->setRangeDrag(Qt::Horizontal);
  p->axisRect()->setRangeZoom(Qt::Horizontal);
  p->xAxis->setRange(-0.5, 0.5);
  connect(p, &QCustomPlot::mousePress, p, [p](QMouseEvent* e) {
    // Shift/Ctrl+drag frames a range; a plain drag pans.
    const bool frame = e->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier);
    p->setSelectionRectMode(frame ? QCP::srmZoom : QCP::srmNone);
  });
  connect(p, &QCustomPlot::mouseDoubleClick, this,
          [this, control](QMouseEvent*) { setXRange(control, true, 0, 0); });
  connect(p, &QCustomPlot::mouseMove, this, [this, control](QMouseEvent* e) {
    hover(graphs_[control], static_cast<int>(e->position().x()), static_cast<int>(e->position().y()),
          e->globalPosition().toPoint());
  });
  connect(p->xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
          [this, control](const QCPRange&) { onXRangeChanged(control); });
  g.notify = new QTimer(this);
  g.notify->setSingleShot(true);
  g.notify->setInterval(kRangeNotifyMs);
  connect(g.notify, &QTimer::timeout, this, [control] { PostControlEvent(p1h, control); });
  auto* lay = holder->layout() ? holder->layout() : new QVBoxLayout(holder);
  lay->setContentsMargins(0, 0, 0, 0);
  lay->addWidget(p);
  graphs_[control] = g;
  g.trace->setSource(&graphs_[control].bins);
  setYMode(graphs_[control], false);
}

void QtBackend::setupMap(int control, QWidget* holder) {
  Map m;
  auto* p = new QCustomPlot(holder);
  p->plotLayout()->insertRow(0);
  m.title = new QCPTextElement(p, holder->property("title").toString());
  p->plotLayout()->addElement(0, 0, m.title);
  p->xAxis->setLabel(QStringLiteral("x set-point"));
  p->yAxis->setLabel(QStringLiteral("y set-point"));
  m.map = new QCPColorMap(p->xAxis, p->yAxis);
  m.map->setInterpolate(false);
  m.scale = new QCPColorScale(p);
  p->plotLayout()->addElement(1, 1, m.scale);
  m.scale->setType(QCPAxis::atRight);
  m.map->setColorScale(m.scale);
  QCPColorGradient grad(QCPColorGradient::gpJet);
  grad.setNanHandling(QCPColorGradient::nhTransparent);
  m.map->setGradient(grad);
  auto* group = new QCPMarginGroup(p);
  p->axisRect()->setMarginGroup(QCP::msBottom | QCP::msTop, group);
  m.scale->setMarginGroup(QCP::msBottom | QCP::msTop, group);
  m.plot = p;
  connect(p, &QCustomPlot::mousePress, this, [this, control](QMouseEvent* e) {
    Map& mm = maps_[control];
    if (mm.nx <= 0 || mm.ny <= 0) return;
    const int ix = static_cast<int>(std::lround(mm.plot->xAxis->pixelToCoord(e->position().x())));
    const int iy = static_cast<int>(std::lround(mm.plot->yAxis->pixelToCoord(e->position().y())));
    if (ix < 0 || iy < 0 || ix >= mm.nx || iy >= mm.ny) return;
    set_value_from_panel(P1_LOAD_IX, ix);
    set_value_from_panel(P1_LOAD_IY, iy);
    valueChanged(P1_LOAD_IX);
    valueChanged(P1_LOAD_IY);
    PostControlEvent(p1h, control);
  });
  auto* lay = holder->layout() ? holder->layout() : new QVBoxLayout(holder);
  lay->setContentsMargins(0, 0, 0, 0);
  lay->addWidget(p);
  maps_[control] = m;
}

void QtBackend::setYMode(Graph& g, bool log) {
  g.log = log;
  if (log) {
    g.plot->yAxis->setScaleType(QCPAxis::stLogarithmic);
    g.plot->yAxis->setTicker(QSharedPointer<QCPAxisTickerLog>(new QCPAxisTickerLog));
  } else {
    g.plot->yAxis->setScaleType(QCPAxis::stLinear);
    g.plot->yAxis->setTicker(QSharedPointer<QCPAxisTicker>(new QCPAxisTicker));
  }
  redraw(g);
}

void QtBackend::onXRangeChanged(int control) {
  Graph& g = graphs_[control];
  if (g.adjusting) return;
  const double full0 = -0.5, full1 = std::max<double>(1, g.bins.size()) - 0.5;
  QCPRange r = g.plot->xAxis->range();
  // Held inside the spectrum and no narrower than a few bins.
  double span = std::min(std::max(r.size(), kMinSpan), full1 - full0);
  double lo = std::clamp(r.lower, full0, full1 - span);
  g.zoomed = lo > full0 + 1e-9 || lo + span < full1 - 1e-9;
  if (lo != r.lower || lo + span != r.upper) {
    g.adjusting = true;
    g.plot->xAxis->setRange(lo, lo + span);
    g.adjusting = false;
  }
  redraw(g);
  g.notify->start();
}

// The widget's own graph, as the spectra were drawn before the panel
// painted them itself: what the benchmark compares against.
double QtBackend::handToGraph(Graph& g, const QCPRange& r) {
  QVector<QCPGraphData> pts;
  double ymax = 1;
  bool full = true;
  const std::span<const std::int32_t> bins(g.bins);
  if (drawing_ == SpectrumDrawing::GraphDecimated) {
    const int columns = std::max(50, g.plot->axisRect()->width());
    full = decimate_range(bins, r.lower, r.upper, columns, scratch_, ColumnOrder::Stroke);
    pts.reserve(static_cast<qsizetype>(scratch_.size()));
    for (const DrawPoint& d : scratch_) {
      if (d.x >= r.lower && d.x <= r.upper) ymax = std::max(ymax, d.y);
      pts.append(QCPGraphData(d.x, g.log && d.y <= 0 ? kLogFloor : d.y));
    }
  } else {
    pts.reserve(static_cast<qsizetype>(bins.size()));
    for (std::size_t i = 0; i < bins.size(); ++i) {
      const double y = bins[i];
      if (double(i) >= r.lower && double(i) <= r.upper) ymax = std::max(ymax, y);
      pts.append(QCPGraphData(double(i), g.log && y <= 0 ? kLogFloor : y));
    }
    full = false;
  }
  // Bins wider than a pixel are drawn as the steps they are.
  g.data->setLineStyle(full ? QCPGraph::lsStepCenter : QCPGraph::lsLine);
  // Decimated points are already at most two per pixel column: the
  // widget's own sampling would only pass over them again.
  g.data->setAdaptiveSampling(drawing_ == SpectrumDrawing::GraphAllBins);
  g.data->data()->set(pts, true);
  return ymax;
}

void QtBackend::setSpectrumDrawing(SpectrumDrawing d) {
  drawing_ = d;
  for (auto& [id, g] : graphs_) {
    g.trace->setVisible(d == SpectrumDrawing::Spans);
    g.data->setVisible(d != SpectrumDrawing::Spans);
    if (d == SpectrumDrawing::Spans) g.data->data()->clear();
    g.framed = false;  // the next redraw replots
  }
}

void QtBackend::redraw(Graph& g, std::span<const std::int32_t> fresh) {
  if (!g.plot) return;
  const QCPRange r = g.plot->xAxis->range();
  double ymax = 1;
  if (drawing_ == SpectrumDrawing::Spans) {
    // New bins are copied in the pass that finds the columns' extremes.
    const std::int32_t top = fresh.empty() ? g.trace->update(g.bins)
                                           : g.trace->update(fresh, g.bins);
    ymax = std::max<double>(ymax, top);
  } else {
    if (!fresh.empty()) std::copy(fresh.begin(), fresh.end(), g.bins.begin());
    ymax = handToGraph(g, r);
  }
  const double y0 = g.log ? kLogFloor * 5 : 0;
  const double y1 = y_top(g, g.log ? std::max(10.0, ymax * 2) : std::max(4.0, ymax * 1.08));
  g.plot->yAxis->setRange(y0, y1);
  if (layerRedraw_ && g.framed && g.frameLog == g.log && g.frameX0 == r.lower &&
      g.frameX1 == r.upper && g.frameY0 == y0 && g.frameY1 == y1) {
    g.layerOnly = true;
    // The trace's own pixels need only the widget's repaint; the widget's
    // graph is drawn on the layer.
    if (drawing_ == SpectrumDrawing::Spans) g.plot->update(refreshRect(g));
    else queueLayer(g);
    return;
  }
  g.framed = true;
  g.frameLog = g.log;
  g.frameX0 = r.lower;
  g.frameX1 = r.upper;
  g.frameY0 = y0;
  g.frameY1 = y1;
  g.layerOnly = false;
  g.plot->replot(QCustomPlot::rpQueuedReplot);
}

// Like a queued replot, the layer is drawn once the event loop runs, however
// many redraws came before.
void QtBackend::queueLayer(Graph& g) {
  g.layerPending = true;
  // One call waiting in the queue is enough, also when a direct repaint
  // drew the layer since it was posted.
  if (g.layerPosted) return;
  g.layerPosted = true;
  QMetaObject::invokeMethod(this, [&g] {
    g.layerPosted = false;
    flushLayer(g);
  }, Qt::QueuedConnection);
}

void QtBackend::flushLayer(Graph& g) {
  if (!g.layerPending) return;
  g.layerPending = false;
  // The layer asks for the whole widget to be repainted; what it draws is
  // clipped to the plot's rectangle (a row above it included), and
  // composing only that saves a third of the repaint.
  g.plot->setAttribute(Qt::WA_UpdatesDisabled, true);
  g.layer->replot();
  g.plot->setAttribute(Qt::WA_UpdatesDisabled, false);
  g.plot->update(layerRect(g));
}

// What a redraw within the same axes repaints: the trace's pixels, or the
// layer once something else on it changed.
QRect QtBackend::refreshRect(const Graph& g) const {
  if (drawing_ == SpectrumDrawing::Spans && !g.layerPending) return g.trace->area();
  return layerRect(g);
}

QRect QtBackend::layerRect(const Graph& g) {
  return g.plot->axisRect()->rect().adjusted(-1, -2, 1, 1);
}

// The top of the y axis for a redraw that needs `need`: kept while the
// counts in view fit under it and fill more than ~60 % of it, so a live
// refresh keeps its axes; growing counts get a quarter of headroom, a new
// view or scale is framed tightly.
double QtBackend::y_top(const Graph& g, double need) {
  const QCPRange x = g.plot->xAxis->range();
  const bool sameView =
      g.framed && g.frameLog == g.log && g.frameX0 == x.lower && g.frameX1 == x.upper;
  if (!sameView) return need;
  const double now = g.frameY1;
  if (need > now) return need * 1.25;
  if (need < now / 1.6) return need;
  return now;
}

void QtBackend::hover(Graph& g, int x, int y, const QPoint& global) {
  if (!g.plot || !g.plot->axisRect()->rect().contains(x, y)) {
    QToolTip::hideText();
    return;
  }
  const long bin = std::lround(g.plot->xAxis->pixelToCoord(x));
  if (bin < 0 || bin >= static_cast<long>(g.bins.size())) return;
  QToolTip::showText(global, QStringLiteral("bin %1: %2 counts")
                                 .arg(bin)
                                 .arg(g.bins[static_cast<std::size_t>(bin)]),
                     g.plot);
}

void QtBackend::xRange(int graph, bool* autoscale, double* min, double* max) {
  onGuiThread([&] {
    auto it = graphs_.find(graph);
    if (it == graphs_.end()) {
      *autoscale = true;
      *min = *max = 0;
      return true;
    }
    const QCPRange r = it->second.plot->xAxis->range();
    *autoscale = !it->second.zoomed;
    *min = r.lower + 0.5;
    *max = r.upper - 0.5;
    return true;
  });
}

void QtBackend::setXRange(int graph, bool autoscale, double min, double max) {
  onGuiThread([&] {
    auto it = graphs_.find(graph);
    if (it == graphs_.end()) return false;
    Graph& g = it->second;
    if (autoscale) g.plot->xAxis->setRange(-0.5, std::max<double>(1, g.bins.size()) - 0.5);
    else g.plot->xAxis->setRange(min - 0.5, max + 0.5);
    onXRangeChanged(graph);  // also when the range did not move
    return true;
  });
}

void QtBackend::setOverlay(int graph, std::span<const double> x, std::span<const double> y) {
  auto it = graphs_.find(graph);
  if (it == graphs_.end()) return;
  QVector<double> xs(x.begin(), x.end()), ys(y.begin(), y.end());
  if (it->second.log)
    for (double& v : ys) v = std::max(v, kLogFloor);
  it->second.overlay->setData(xs, ys, true);
  queueLayer(it->second);
}

void QtBackend::showMap(int control, const MapPicture& pic) {
  auto it = maps_.find(control);
  if (it == maps_.end()) return;
  Map& m = it->second;
  m.nx = pic.nx;
  m.ny = pic.ny;
  m.title->setText(QString::fromStdString(pic.title));
  // A one-cell axis still needs two cells for the data's coordinates.
  const int sx = std::max(2, pic.nx), sy = std::max(2, pic.ny);
  QCPColorMapData* d = m.map->data();
  if (d->keySize() != sx || d->valueSize() != sy) d->setSize(sx, sy);
  d->setRange(QCPRange(0, sx - 1), QCPRange(0, sy - 1));
  double lo = INFINITY, hi = -INFINITY;
  for (int iy = 0; iy < sy; ++iy)
    for (int ix = 0; ix < sx; ++ix) {
      double v = NAN;
      if (ix < pic.nx && iy < pic.ny)
        v = pic.values[static_cast<std::size_t>(iy) * static_cast<std::size_t>(pic.nx) +
                       static_cast<std::size_t>(ix)];
      if (pic.log && !(v > 0)) v = NAN;
      if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
      d->setCell(ix, iy, v);
    }
  if (!(lo <= hi)) lo = pic.log ? 1 : 0, hi = lo + 1;
  if (hi <= lo) hi = pic.log ? lo * 10 : lo + 1;
  m.scale->setDataScaleType(pic.log ? QCPAxis::stLogarithmic : QCPAxis::stLinear);
  if (pic.log) m.scale->axis()->setTicker(QSharedPointer<QCPAxisTickerLog>(new QCPAxisTickerLog));
  else m.scale->axis()->setTicker(QSharedPointer<QCPAxisTicker>(new QCPAxisTicker));
  m.map->setDataRange(QCPRange(lo, hi));
  // Set-points on the axes, at most about ten labels each.
  auto ticker = [](const std::vector<int>& set, int n) {
    auto t = QSharedPointer<QCPAxisTickerText>(new QCPAxisTickerText);
    const int step = std::max(1, (n + 9) / 10);
    for (int i = 0; i < n && i < static_cast<int>(set.size()); i += step)
      t->addTick(i, QString::number(set[static_cast<std::size_t>(i)]));
    return t;
  };
  m.plot->xAxis->setTicker(ticker(pic.xset, pic.nx));
  m.plot->yAxis->setTicker(ticker(pic.yset, pic.ny));
  m.plot->xAxis->setRange(-0.5, std::max(1, pic.nx) - 0.5);
  m.plot->yAxis->setRange(-0.5, std::max(1, pic.ny) - 0.5);
  m.plot->replot(QCustomPlot::rpQueuedReplot);
}

void QtBackend::replot(int control) {
  if (auto it = graphs_.find(control); it != graphs_.end()) {
    // A layer already drawn needs only the widget's repaint.
    if (it->second.layerOnly) {
      flushLayer(it->second);
      it->second.plot->repaint(refreshRect(it->second));
    } else {
      it->second.plot->replot(QCustomPlot::rpImmediateRefresh);
    }
  }
  if (auto it = maps_.find(control); it != maps_.end())
    it->second.plot->replot(QCustomPlot::rpImmediateRefresh);
}

void QtBackend::replotAll() {
  for (auto& [id, g] : graphs_) g.plot->replot(QCustomPlot::rpImmediateRefresh);
  for (auto& [id, m] : maps_) m.plot->replot(QCustomPlot::rpImmediateRefresh);
}

void QtBackend::displayPanel() {
  if (!panel_) return;
  panel_->show();
  if (panelTimer_) panelTimer_->start();
}

void QtBackend::discardPanel() {
  if (panelTimer_) panelTimer_->stop();
  if (panel_) panel_->hide();
}

void QtBackend::valueChanged(int control) {
  std::lock_guard lk(dirtyMutex_);
  dirty_.insert(control);
  if (flushPending_) return;
  flushPending_ = true;
  using std::chrono::milliseconds;
  const auto wait = kValueFlush - std::chrono::duration_cast<milliseconds>(
                                      std::chrono::steady_clock::now() - lastFlush_);
  const int ms = static_cast<int>(std::max(wait, milliseconds(0)).count());
  QMetaObject::invokeMethod(valueTimer_, "start", Qt::QueuedConnection, Q_ARG(int, ms));
}

void QtBackend::flushValues() {
  std::set<int> dirty;
  {
    std::lock_guard lk(dirtyMutex_);
    dirty.swap(dirty_);
    flushPending_ = false;
    lastFlush_ = std::chrono::steady_clock::now();
  }
  for (int c : dirty) applyValue(c);
}

void QtBackend::applyValue(int control) {
  QWidget* w = widget(control);
  if (!w) return;
  CtrlValue v = get_value(control);
  QSignalBlocker block(w);
  if (auto* sb = qobject_cast<QSpinBox*>(w)) sb->setValue(static_cast<int>(v.num));
  else if (auto* ds = qobject_cast<QDoubleSpinBox*>(w)) ds->setValue(v.num);
  else if (auto* le = qobject_cast<QLineEdit*>(w)) {
    le->setText(QString::fromStdString(v.text));
    if (le->isReadOnly()) le->setCursorPosition(0);  // an indicator reads from its start
  }
  else if (auto* cb = qobject_cast<QComboBox*>(w)) cb->setCurrentIndex(static_cast<int>(v.num));
  else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
    if (b->isCheckable()) b->setChecked(v.num != 0);
  }
}

void QtBackend::setAttribute(int control, int attribute, int value) {
  if (QThread::currentThread() != thread()) {
    QMetaObject::invokeMethod(this, [this, control, attribute, value] {
      setAttribute(control, attribute, value);
    }, Qt::QueuedConnection);
    return;
  }
  if (attribute == ATTR_YMAP_MODE) {
    auto it = graphs_.find(control);
    if (it != graphs_.end()) setYMode(it->second, value == VAL_LOG);
    return;
  }
  QWidget* w = widget(control);
  if (auto* sb = qobject_cast<QSpinBox*>(w)) {
    QSignalBlocker block(sb);
    if (attribute == ATTR_MAX_VALUE) sb->setMaximum(value);
    if (attribute == ATTR_MIN_VALUE) sb->setMinimum(value);
  }
}

int QtBackend::plot(int graph, std::span<const std::int32_t> data, int color) {
  auto it = graphs_.find(graph);
  if (it == graphs_.end()) return -1;
  Graph& g = it->second;
  const bool resized = g.bins.size() != data.size();
  g.bins.resize(data.size());  // filled by redraw
  newPlot(g, resized, color);
  redraw(g, data);
  return nextPlot_++;
}

int QtBackend::plotVector(int graph, std::vector<std::int32_t>& data, int color) {
  auto it = graphs_.find(graph);
  if (it == graphs_.end()) return -1;
  Graph& g = it->second;
  const std::size_t n = data.size();
  const bool resized = g.bins.size() != n;
  g.bins.swap(data);
  data.resize(n);
  newPlot(g, resized, color);
  redraw(g);
  return nextPlot_++;
}

void QtBackend::newPlot(Graph& g, bool resized, int color) {
  const QColor col = QColor::fromRgb(static_cast<QRgb>(color));
  g.trace->setColor(col);
  if (g.data->pen().color() != col) g.data->setPen(QPen(col, 1));
  // A zoom stays until the user resets it; redrawing keeps the view.
  if (!g.zoomed || resized) {
    g.adjusting = true;
    g.plot->xAxis->setRange(-0.5, std::max<double>(1, g.bins.size()) - 0.5);
    g.adjusting = false;
    g.zoomed = false;
  }
}

void QtBackend::deletePlot(int graph, int) {
  // The next plot replaces the series' points; nothing to do in between.
  (void)graph;
}

void QtBackend::processEvents(int timeoutMs) {
  (void)timeoutMs;  // the heartbeat timer bounds the wait
  QCoreApplication::sendPostedEvents();
  dispatcher_->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void QtBackend::wake() {
  if (dispatcher_) dispatcher_->wakeUp();
}

int QtBackend::fileDialog(const std::string& title, const std::string& dir,
                          const std::string& pattern, bool existingOnly, std::string* path) {
  QString filter = pattern.empty() ? QString("*.*")
                                   : QString::fromStdString(pattern) + QStringLiteral(";;*");
  QString f = existingOnly
                  ? QFileDialog::getOpenFileName(panel_, QString::fromStdString(title),
                                                 QString::fromStdString(dir), filter)
                  : QFileDialog::getSaveFileName(panel_, QString::fromStdString(title),
                                                 QString::fromStdString(dir), filter, nullptr,
                                                 QFileDialog::DontConfirmOverwrite);
  if (f.isEmpty()) return 0;
  *path = f.toStdString();
  return 1;
}

void QtBackend::consoleText(const std::string& text) {
  std::lock_guard lk(consoleMutex_);
  consolePending_ += text;
  consolePendingLines_ += static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  // The view keeps its last lines only; a flood faster than the panel can
  // draw keeps the newest lines and says how many it left out.
  if (consolePendingLines_ > kConsolePendingMaxLines || consolePending_.size() > kConsolePendingMax) {
    std::size_t cut = 0, drop = consolePendingLines_ - std::min(consolePendingLines_,
                                                                 kConsolePendingMaxLines / 2);
    for (std::size_t n = 0; n < drop && cut < consolePending_.size(); ++n) {
      const std::size_t nl = consolePending_.find('\n', cut);
      if (nl == std::string::npos) break;
      cut = nl + 1;
    }
    if (consolePending_.size() - cut > kConsolePendingMax)  // very long lines
      cut = consolePending_.size() - kConsolePendingMax / 2;
    const auto lines = static_cast<std::size_t>(
        std::count(consolePending_.begin(), consolePending_.begin() + cut, '\n'));
    consoleDropped_ += lines;
    consolePendingLines_ -= std::min(consolePendingLines_, lines);
    consolePending_.erase(0, cut);
  }
  if (consoleFlushPending_) return;
  consoleFlushPending_ = true;
  // At most ~30 view updates a second: a read-out printing hundreds of lines
  // a second must not keep the panel thread (and a core) busy redrawing.
  QMetaObject::invokeMethod(
      this, [this] { QTimer::singleShot(30, this, &QtBackend::flushConsole); },
      Qt::QueuedConnection);
}

void QtBackend::flushConsole() {
  std::string text;
  {
    std::lock_guard lk(consoleMutex_);
    if (consoleDropped_ > 0) {
      text = "[... " + std::to_string(consoleDropped_) +
             " console line(s) not shown here; standard output has them all ...]\n";
      consoleDropped_ = 0;
    }
    text += consolePending_;
    consolePending_.clear();
    consolePendingLines_ = 0;
    consoleFlushPending_ = false;
  }
  if (!console_ || text.empty()) return;
  QTextCursor c = console_->textCursor();
  c.movePosition(QTextCursor::End);
  c.insertText(QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())));
  console_->verticalScrollBar()->setValue(console_->verticalScrollBar()->maximum());
}

bool QtBackend::onGuiThread(const std::function<bool()>& fn) {
  // Atomic: the hand-over happens inside Qt, where a race checker cannot see it.
  std::atomic<bool> ok{false};
  auto run = [&ok, &fn] { ok.store(fn()); };
  if (QThread::currentThread() == thread()) run();
  else QMetaObject::invokeMethod(this, run, Qt::BlockingQueuedConnection);
  return ok.load();
}

bool QtBackend::saveScreenshot(const std::string& path) {
  return onGuiThread([this, &path] {
    if (!panel_) return false;
    flushValues();
    flushConsole();
    replotAll();
    return panel_->grab().save(QString::fromStdString(path), "PNG");
  });
}

bool QtBackend::saveGraphImage(int graph, const std::string& path) {
  return onGuiThread([this, graph, &path] {
    QCustomPlot* p = nullptr;
    if (auto it = graphs_.find(graph); it != graphs_.end()) p = it->second.plot;
    if (auto it = maps_.find(graph); it != maps_.end()) p = it->second.plot;
    if (!p) return false;
    p->replot(QCustomPlot::rpImmediateRefresh);
    return p->grab().save(QString::fromStdString(path), "PNG");
  });
}

}  // namespace mdq::platform
