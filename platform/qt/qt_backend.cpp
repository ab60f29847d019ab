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
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QLogValueAxis>
#include <QtCharts/QValueAxis>
#include <QtUiTools/QUiLoader>
#include <algorithm>
#include <cmath>

#include "mdq_ui.h"
#include "platform.h"

namespace mdq::platform {

namespace {
// Log axes cannot show zero: empty bins sit just below the first decade.
constexpr double kLogFloor = 0.1;

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
  // Indicators follow the program at most ~50 times a second: a run that
  // shows every event number must not keep the panel thread busy.
  valueTimer_ = new QTimer(this);
  valueTimer_->setSingleShot(true);
  valueTimer_->setInterval(20);
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
    const int id = c.id;
    switch (c.kind) {
      case CtrlKind::Command:
        if (auto* b = qobject_cast<QAbstractButton*>(w))
          connect(b, &QAbstractButton::clicked, this, [id] { PostControlEvent(p1h, id); });
        break;
      case CtrlKind::Immediate:
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
          std::string name = c.name;
          connect(b, &QAbstractButton::clicked, this, [name, id] {
            if (CtrlCallbackPtr fn = FindCtrlCallback(name.c_str())) fn(p1h, id, 0, nullptr, 0, 0);
          });
        }
        break;
      case CtrlKind::Toggle:
      case CtrlKind::Switch:
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
          b->setCheckable(true);
          define_control(id, false, 0, 1, b->isChecked() ? 1 : 0);
          const bool fires = c.kind == CtrlKind::Toggle;
          connect(b, &QAbstractButton::toggled, this, [id, fires](bool on) {
            set_value_from_panel(id, on ? 1.0 : 0.0);
            if (fires) PostControlEvent(p1h, id);
          });
        }
        break;
      case CtrlKind::Ring:
        if (auto* cb = qobject_cast<QComboBox*>(w)) {
          define_control(id, false, 0, std::max(0, cb->count() - 1), cb->currentIndex());
          connect(cb, &QComboBox::currentIndexChanged, this, [id](int i) {
            set_value_from_panel(id, i);
            PostControlEvent(p1h, id);
          });
        }
        break;
      case CtrlKind::Int:
        if (auto* sb = qobject_cast<QSpinBox*>(w)) {
          define_control(id, false, sb->minimum(), sb->maximum(), sb->value());
          connect(sb, &QSpinBox::valueChanged, this, [id](int v) { set_value_from_panel(id, v); });
        }
        break;
      case CtrlKind::Double:
        if (auto* sb = qobject_cast<QDoubleSpinBox*>(w)) {
          define_control(id, false, sb->minimum(), sb->maximum(), sb->value());
          connect(sb, &QDoubleSpinBox::valueChanged, this,
                  [id](double v) { set_value_from_panel(id, v); });
        }
        break;
      case CtrlKind::Text:
        if (auto* le = qobject_cast<QLineEdit*>(w)) {
          define_control(id, true, 0, 0, 0, le->text().toStdString());
          connect(le, &QLineEdit::textChanged, this,
                  [id](const QString& t) { set_value_from_panel(id, t.toStdString()); });
        }
        break;
      case CtrlKind::Graph:
        setupGraph(id, w);
        break;
      case CtrlKind::Timer: {
        w->hide();
        int interval = w->property("interval").isValid() ? w->property("interval").toInt() : 1000;
        QString cb = w->property("callback").toString();
        panelTimer_ = new QTimer(this);
        panelTimer_->setInterval(std::max(1, interval));
        std::string cbName = cb.toStdString();
        connect(panelTimer_, &QTimer::timeout, this, [cbName, id] {
          if (CtrlCallbackPtr fn = FindCtrlCallback(cbName.c_str()))
            fn(p1h, id, 0, nullptr, 0, 0);
        });
        break;
      }
    }
  }
}

void QtBackend::setupGraph(int control, QWidget* holder) {
  Graph g;
  g.chart = new QChart();
  g.chart->legend()->hide();
  g.chart->setMargins(QMargins(4, 4, 4, 4));
  g.series = new QLineSeries();
  g.chart->addSeries(g.series);
  auto* x = new QValueAxis();
  x->setLabelFormat("%d");
  x->setTitleText(holder->property("xTitle").toString());
  g.chart->addAxis(x, Qt::AlignBottom);
  g.series->attachAxis(x);
  g.xAxis = x;
  g.chart->setTitle(holder->property("title").toString());
  g.view = new QChartView(g.chart, holder);
  g.view->setRenderHint(QPainter::Antialiasing, false);
  auto* lay = holder->layout() ? holder->layout() : new QVBoxLayout(holder);
  lay->setContentsMargins(0, 0, 0, 0);
  lay->addWidget(g.view);
  graphs_[control] = g;
  setYMode(graphs_[control], false);
}

void QtBackend::setYMode(Graph& g, bool log) {
  if (!g.linAxis) {
    // Both axes live for the chart's lifetime; a mode change moves the
    // series between them (swapping axes in and out leaves stale labels).
    auto* lin = new QValueAxis();
    lin->setLabelFormat("%.4g");
    auto* lg = new QLogValueAxis();
    lg->setBase(10);
    lg->setLabelFormat("%g");
    lg->setMinorTickCount(0);
    for (QAbstractAxis* a : {static_cast<QAbstractAxis*>(lin), static_cast<QAbstractAxis*>(lg)}) {
      a->setTitleText(QStringLiteral("counts"));
      g.chart->addAxis(a, Qt::AlignLeft);
    }
    g.linAxis = lin;
    g.logAxis = lg;
    lg->setVisible(false);
    g.series->attachAxis(lin);
    g.yAxis = lin;
    g.log = false;
  }
  if (g.log == log) return;
  g.series->clear();  // points at zero cannot go on a log axis
  g.series->detachAxis(g.yAxis);
  g.yAxis->setVisible(false);
  g.log = log;
  g.yAxis = log ? g.logAxis : g.linAxis;
  g.yAxis->setVisible(true);
  g.series->attachAxis(g.yAxis);
  g.yMax = 0;
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
  QMetaObject::invokeMethod(valueTimer_, "start", Qt::QueuedConnection);
}

void QtBackend::flushValues() {
  std::set<int> dirty;
  {
    std::lock_guard lk(dirtyMutex_);
    dirty.swap(dirty_);
    flushPending_ = false;
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
  else if (auto* le = qobject_cast<QLineEdit*>(w)) le->setText(QString::fromStdString(v.text));
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
  int columns = static_cast<int>(g.chart->plotArea().width());
  if (columns < 100) columns = std::max(100, g.view->width() - 60);
  QList<QPointF> pts;
  double ymax = 1;
  if (decimate_) {
    minmax_decimate(data, columns, scratch_);
    pts.reserve(static_cast<qsizetype>(scratch_.size()));
    for (const auto& p : scratch_) {
      ymax = std::max(ymax, p.y);
      pts.append(QPointF(p.x, g.log && p.y <= 0 ? kLogFloor : p.y));
    }
  } else {
    pts.reserve(static_cast<qsizetype>(data.size()));
    for (std::size_t i = 0; i < data.size(); ++i) {
      double y = data[i];
      ymax = std::max(ymax, y);
      pts.append(QPointF(double(i), g.log && y <= 0 ? kLogFloor : y));
    }
  }
  QColor col = QColor::fromRgb(static_cast<QRgb>(color));
  if (g.series->pen().color() != col || g.series->pen().width() != 2)
    g.series->setPen(QPen(col, 2));
  g.series->replace(pts);
  int xMax = std::max(1, static_cast<int>(data.size()) - 1);
  if (xMax != g.xMax) {
    g.xMax = xMax;
    static_cast<QValueAxis*>(g.xAxis)->setRange(0, xMax);
  }
  // Axis changes relayout the chart: only when the top really moves.
  if (g.log) {
    double top = std::pow(10.0, std::ceil(std::log10(std::max(10.0, ymax * 1.5))));
    if (top != g.yMax) static_cast<QLogValueAxis*>(g.yAxis)->setRange(kLogFloor, top);
    g.yMax = top;
  } else {
    double top = std::max(4.0, std::ceil(ymax * 1.05));
    auto* y = static_cast<QValueAxis*>(g.yAxis);
    if (top > g.yMax || top < 0.7 * g.yMax) {
      y->setRange(0, top);
      y->applyNiceNumbers();
      g.yMax = y->max();
    }
  }
  return nextPlot_++;
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
  // The view keeps its last lines only; a flood faster than the panel can
  // draw keeps the newest text and says how much it left out.
  if (consolePending_.size() > kConsolePendingMax) {
    std::size_t cut = consolePending_.size() - kConsolePendingMax / 2;
    const std::size_t nl = consolePending_.find('\n', cut);
    cut = nl == std::string::npos ? cut : nl + 1;
    consoleDropped_ += static_cast<std::size_t>(
        std::count(consolePending_.begin(), consolePending_.begin() + cut, '\n'));
    consolePending_.erase(0, cut);
  }
  if (consoleFlushPending_) return;
  consoleFlushPending_ = true;
  QMetaObject::invokeMethod(this, "flushConsole", Qt::QueuedConnection);
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
    return panel_->grab().save(QString::fromStdString(path), "PNG");
  });
}

bool QtBackend::saveGraphImage(int graph, const std::string& path) {
  return onGuiThread([this, graph, &path] {
    auto it = graphs_.find(graph);
    if (it == graphs_.end() || !it->second.view) return false;
    return it->second.view->grab().save(QString::fromStdString(path), "PNG");
  });
}

}  // namespace mdq::platform
