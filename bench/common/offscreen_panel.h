// The station's panel for a benchmark, loaded and shown as the station
// shows it, with the Qt backend installed: on Qt's offscreen platform, or on
// the display when there is one and the benchmark asks for it.
#pragma once

#include <QApplication>
#include <benchmark/benchmark.h>

#include "mdq_ui.h"
#include "platform.h"
#include "qt_backend.h"

namespace benchpanel {

enum class Platform { Offscreen, DisplayIfAny };

// Set before QApplication exists: the platform is chosen in its constructor.
struct OffscreenPlatform {
  explicit OffscreenPlatform(Platform p) {
    const bool display = p == Platform::DisplayIfAny && qEnvironmentVariableIsSet("DISPLAY");
    if (!display && !qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
      qputenv("QT_QPA_PLATFORM", "offscreen");
  }
};

class OffscreenPanel : OffscreenPlatform {
 public:
  OffscreenPanel(int& argc, char** argv, Platform p = Platform::Offscreen)
      : OffscreenPlatform(p), app_(argc, argv) {
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
