// The station's panel for a benchmark, loaded and shown as the station
// shows it, on Qt's offscreen platform with the Qt backend installed.
#pragma once

#include <QApplication>
#include <benchmark/benchmark.h>

#include "mdq_ui.h"
#include "platform.h"
#include "qt_backend.h"

namespace benchpanel {

// Set before QApplication exists: the platform is chosen in its constructor.
struct OffscreenPlatform {
  OffscreenPlatform() { qputenv("QT_QPA_PLATFORM", "offscreen"); }
};

class OffscreenPanel : OffscreenPlatform {
 public:
  OffscreenPanel(int& argc, char** argv) : app_(argc, argv) {
    benchmark::Initialize(&argc, argv);
    mdq::platform::set_backend(&backend_);
  }
  ~OffscreenPanel() {
    if (shown_) DiscardPanel(p1h);
    mdq::platform::set_backend(nullptr);
  }
  OffscreenPanel(const OffscreenPanel&) = delete;
  OffscreenPanel& operator=(const OffscreenPanel&) = delete;

  // Callbacks the panel names are registered before this. False when the
  // panel description cannot be loaded.
  bool show() {
    p1h = LoadPanel(0, "mdq_ui.uir", 1);
    if (p1h < 0) return false;
    DisplayPanel(p1h);
    shown_ = true;
    return true;
  }

 private:
  QApplication app_;
  mdq::platform::QtBackend backend_;
  bool shown_ = false;
};

}  // namespace benchpanel
