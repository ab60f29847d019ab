// The interface a panel backend implements (platform/qt is the only one).
// Without a backend the services run headless on the value cache alone.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace mdq::platform {

// A colour map of a scan grid as the panel draws it: cell (ix, iy) is
// values[iy * nx + ix], NaN where there is nothing to show.
struct MapPicture {
  int nx = 0, ny = 0;
  std::vector<int> xset, yset;  // set-point of each column / row (axis labels)
  std::vector<double> values;
  bool log = false;
  std::string title;
};

class Backend {
 public:
  virtual ~Backend() = default;
  // Loads the panel description; fills the value cache from its controls.
  // Returns a negative value (after a console line) on failure.
  virtual int loadPanel(const std::string& file) = 0;
  virtual void displayPanel() = 0;
  virtual void discardPanel() = 0;
  // The program changed a control's cached value (any thread).
  virtual void valueChanged(int control) = 0;
  virtual void setAttribute(int control, int attribute, int value) = 0;
  // GUI thread only.
  virtual int plot(int graph, std::span<const std::int32_t> data, int color) = 0;
  // The same, taking the vector's contents; `data` comes back as long as it
  // was, its contents unspecified.
  virtual int plotVector(int graph, std::vector<std::int32_t>& data, int color) {
    return plot(graph, data, color);
  }
  virtual void deletePlot(int graph, int plot) = 0;
  // The graph as drawn, as a PNG file (any thread). True when written.
  virtual bool saveGraphImage(int graph, const std::string& path) {
    (void)graph;
    (void)path;
    return false;
  }
  // Visible x range of a graph (in bins); autoscale = the full spectrum.
  virtual void xRange(int graph, bool* autoscale, double* min, double* max) {
    *autoscale = true;
    *min = *max = 0;
    (void)graph;
  }
  virtual void setXRange(int graph, bool autoscale, double min, double max) {
    (void)graph, (void)autoscale, (void)min, (void)max;
  }
  // A curve over the graph's spectrum (a fit); empty removes it.
  virtual void setOverlay(int graph, std::span<const double> x, std::span<const double> y) {
    (void)graph, (void)x, (void)y;
  }
  virtual void showMap(int control, const MapPicture& picture) { (void)control, (void)picture; }
  // Process panel events for at most timeoutMs (GUI thread). Returns early
  // when wake() is called.
  virtual void processEvents(int timeoutMs) = 0;
  virtual void wake() = 0;
  // 1/positive = chosen, 0 = cancelled.
  virtual int fileDialog(const std::string& title, const std::string& dir,
                         const std::string& pattern, bool existingOnly, std::string* path) = 0;
  virtual void consoleText(const std::string& text) = 0;
};

// Where the panel's settings are kept between sessions (platform/qt: one
// QSettings file). Keys and values are text.
class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // The file, for the console.
  virtual std::string location() const = 0;
  enum class Read { Missing, Ok, Unreadable };
  // Unreadable: there is a file, but its contents cannot be had (why says so).
  virtual Read read(std::map<std::string, std::string>* values, std::string* why) = 0;
  virtual bool write(const std::map<std::string, std::string>& values, std::string* why) = 0;
  // Moves an unusable file out of the way, so the next write starts afresh
  // and the old one can still be looked at. Where it went; empty if it stayed.
  virtual std::string setAside() = 0;
};

// Installs (or removes, with nullptr) the backend. Not thread-safe: call
// before any other service.
void set_backend(Backend* backend);
Backend* backend();

// Console capture for tests: every con_printf also goes here.
class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;
  std::string text() const;
  void clear();
};

// Resets every service to program start (tests).
void reset_for_tests();

}  // namespace mdq::platform

namespace mdq::platform {

// The value cache, as the backend sees it.
struct CtrlValue {
  bool isText = false;
  double num = 0;
  std::string text;
};
// Declares a control with its bounds (numeric) before the panel is shown.
void define_control(int control, bool isText, double min, double max, double value,
                    const std::string& text = {});
CtrlValue get_value(int control);
// A value the operator entered on the panel: cached, no valueChanged call.
void set_value_from_panel(int control, double value);
void set_value_from_panel(int control, const std::string& text);
bool control_defined(int control);

// Replaces the real pause of Delay (tests with a fake clock). nullptr restores it.
using DelayHook = void (*)(double seconds);
void set_delay_hook(DelayHook hook);

}  // namespace mdq::platform
