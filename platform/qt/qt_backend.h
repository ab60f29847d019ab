// The Qt 6 panel backend: loads the Designer description with QUiLoader,
// mirrors the value cache onto its widgets and draws the graphs.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "backend.h"
#include "decimate.h"

class QAbstractEventDispatcher;
class QPlainTextEdit;
class QTimer;
class QChart;
class QChartView;
class QLineSeries;
class QAbstractAxis;

namespace mdq::platform {

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
  void deletePlot(int graph, int plot) override;
  bool saveGraphImage(int graph, const std::string& path) override;
  void processEvents(int timeoutMs) override;
  void wake() override;
  int fileDialog(const std::string& title, const std::string& dir, const std::string& pattern,
                 bool existingOnly, std::string* path) override;
  void consoleText(const std::string& text) override;

  // Saves a picture of the panel (any thread; waits for the GUI thread).
  bool saveScreenshot(const std::string& path);
  QWidget* panel() const { return panel_; }
  // Hands every point to the chart (benchmark baseline).
  void setDecimation(bool on) { decimate_ = on; }

 private slots:
  void flushValues();
  void flushConsole();

 private:
  // Runs fn on the GUI thread (waiting for it from any other) and returns its result.
  bool onGuiThread(const std::function<bool()>& fn);
  struct Graph {
    QChart* chart = nullptr;
    QChartView* view = nullptr;
    QLineSeries* series = nullptr;
    QAbstractAxis* xAxis = nullptr;
    QAbstractAxis* yAxis = nullptr;  // the one in use
    QAbstractAxis* linAxis = nullptr;
    QAbstractAxis* logAxis = nullptr;
    bool log = false;
    int xMax = 1;
    double yMax = 1;
  };
  void bindControls();
  void setupGraph(int control, QWidget* holder);
  void setYMode(Graph& g, bool log);
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
  int nextPlot_ = 1;
  bool decimate_ = true;
  std::vector<DecimatedPoint> scratch_;

  std::mutex dirtyMutex_;
  std::set<int> dirty_;
  bool flushPending_ = false;

  std::mutex consoleMutex_;
  std::string consolePending_;
  std::size_t consoleDropped_ = 0;  // lines left out of the view since its last update
  static constexpr std::size_t kConsolePendingMax = 128 * 1024;
  bool consoleFlushPending_ = false;
};

}  // namespace mdq::platform
