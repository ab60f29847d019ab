// The Qt 6 panel backend: loads the Designer description with QUiLoader,
// mirrors the value cache onto its widgets and draws the graphs.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <atomic>
#include <functional>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "backend.h"
#include "stats.h"

class QAbstractEventDispatcher;
class QPlainTextEdit;
class QTimer;
class QCustomPlot;
class QCPGraph;
class QCPLayer;
class QCPRange;
class QCPColorMap;
class QCPColorScale;
class QCPTextElement;
struct CtrlInfo;

namespace mdq::platform {

class SpectrumTrace;

class QtBackend : public QObject, public Backend {
  Q_OBJECT
 public:
  QtBackend();
  ~QtBackend() override;

  int loadPanel(const std::string& file) override;
  void displayPanel() override;
  void discardPanel() override;
  void valueChanged(int control) override;
  void setAttribute(int control, int attribute, int value) override;
  int plot(int graph, std::span<const std::int32_t> data, int color) override;
  int plotVector(int graph, std::vector<std::int32_t>& data, int color) override;
  void deletePlot(int graph, int plot) override;
  bool saveGraphImage(int graph, const std::string& path) override;
  void processEvents(int timeoutMs) override;
  void wake() override;
  int fileDialog(const std::string& title, const std::string& dir, const std::string& pattern,
                 bool existingOnly, std::string* path) override;
  void consoleText(const std::string& text) override;
  void xRange(int graph, bool* autoscale, double* min, double* max) override;
  void setXRange(int graph, bool autoscale, double min, double max) override;
  void setOverlay(int graph, std::span<const double> x, std::span<const double> y) override;
  void showMap(int control, const MapPicture& picture) override;

  // Saves a picture of the panel (any thread; waits for the GUI thread).
  bool saveScreenshot(const std::string& path);
  QWidget* panel() const { return panel_; }
  // How the spectra are drawn: the panel paints each pixel column's span
  // itself; the others hand points to the widget's own graph (benchmark
  // comparisons).
  enum class SpectrumDrawing {
    Spans,
    GraphDecimated,         // each column's min/max points, as a line
    GraphAllBins,           // every bin, the widget's adaptive sampling on
    GraphAllBinsUnsampled,  // every bin, drawn as it is
  };
  void setSpectrumDrawing(SpectrumDrawing d);
  // Off: every redraw replots the whole graph, axes and labels included
  // (benchmark of what the spectrum's own layer saves).
  void setLayerRedraw(bool on) { layerRedraw_ = on; }
  // Draws every pending change now (benchmarks, pictures).
  void replotAll();
  void replot(int control);

 private slots:
  void flushValues();
  void flushConsole();

 private:
  // Runs fn on the GUI thread (waiting for it from any other) and returns its result.
  bool onGuiThread(const std::function<bool()>& fn);
  struct Graph {
    QCustomPlot* plot = nullptr;
    SpectrumTrace* trace = nullptr;
    QCPGraph* data = nullptr;  // the widget's graph, for comparisons only
    QCPGraph* overlay = nullptr;
    QTimer* notify = nullptr;  // tells the program the visible range moved
    QCPLayer* layer = nullptr;  // the spectrum and its fit, buffered alone
    std::vector<std::int32_t> bins;  // what was last plotted
    bool log = false;
    bool zoomed = false;
    bool adjusting = false;
    // The axes of the last full replot: a redraw within them repaints
    // only the layer (`layerOnly`).
    bool framed = false, frameLog = false, layerOnly = false, layerPending = false;
    bool layerPosted = false;
    double frameX0 = 0, frameX1 = 0, frameY0 = 0, frameY1 = 0;
  };
  struct Map {
    QCustomPlot* plot = nullptr;
    QCPColorMap* map = nullptr;
    QCPColorScale* scale = nullptr;
    QCPTextElement* title = nullptr;
    int nx = 0, ny = 0;
  };
  void bindControls();
  void bindButton(const CtrlInfo& c, QWidget* w);
  void bindValue(const CtrlInfo& c, QWidget* w);
  void setupTimer(int id, QWidget* w);
  void setupGraph(int control, QWidget* holder);
  void setupMap(int control, QWidget* holder);
  void setYMode(Graph& g, bool log);
  void onXRangeChanged(int control);
  // `fresh`: new bins for g.bins, copied while they are scanned.
  void redraw(Graph& g, std::span<const std::int32_t> fresh = {});
  double handToGraph(Graph& g, const QCPRange& view);
  static double y_top(const Graph& g, double need);
  void queueLayer(Graph& g);
  static void flushLayer(Graph& g);
  static QRect layerRect(const Graph& g);
  QRect refreshRect(const Graph& g) const;
  void newPlot(Graph& g, bool resized, int color);
  void hover(Graph& g, int x, int y, const QPoint& global);
  void applyValue(int control);
  QWidget* widget(int control) const;

  QWidget* panel_ = nullptr;
  QAbstractEventDispatcher* dispatcher_ = nullptr;
  QTimer* heartbeat_ = nullptr;
  QTimer* panelTimer_ = nullptr;
  QTimer* valueTimer_ = nullptr;
  QPlainTextEdit* console_ = nullptr;
  std::map<int, QPointer<QWidget>> widgets_;
  std::map<int, Graph> graphs_;
  std::map<int, Map> maps_;
  int nextPlot_ = 1;
  SpectrumDrawing drawing_ = SpectrumDrawing::Spans;
  bool layerRedraw_ = true;
  std::vector<DrawPoint> scratch_;

  std::mutex dirtyMutex_;
  std::set<int> dirty_;
  bool flushPending_ = false;
  std::chrono::steady_clock::time_point lastFlush_{};  // under dirtyMutex_

  std::mutex consoleMutex_;
  std::string consolePending_;
  std::size_t consoleDropped_ = 0;  // lines left out of the view since its last update
  std::size_t consolePendingLines_ = 0;
  static constexpr std::size_t kConsolePendingMax = 128 * 1024;
  static constexpr std::size_t kConsolePendingMaxLines = 900;  // the view keeps 1000
  bool consoleFlushPending_ = false;
};

}  // namespace mdq::platform
