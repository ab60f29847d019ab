// mdq: the station. Parses the station settings, sets up the Qt panel
// backend (offscreen when there is no display) and runs the session.
#include <CLI/CLI.hpp>
#include <QApplication>
#include <cstdlib>
#include <string>

#include "backend.h"
#include "mdq_main.h"
#include "panel_memory.h"
#include "monitor_server.h"
#include "platform.h"
#include "station_snapshot.h"
#include "qt_backend.h"
#include "qt_settings.h"
#include "script.h"
#include "sim_stand_loader.h"
#include "station_setup.h"
#include "wienvme_dll.h"

namespace {

void add_options(CLI::App& cli, StationSettings& s) {
  cli.add_flag("--headless", s.headless, "run without a display (Qt offscreen platform)");
  cli.add_option("--script", s.script, "operator script to play through the panel");
  cli.add_flag("--simulate", s.simulate, "run against the simulated test stand");
  cli.add_option("--sim-rate", s.simRateHz, "simulated stand: trigger rate in Hz (0 = unthrottled)")
      ->check(CLI::NonNegativeNumber);
  cli.add_option("--driver", s.driverPath,
                 std::string("VME interface driver library (default ") +
                     wienvme_default_driver_path() + ")");
  cli.add_option("--board-address", s.board.address, "EASIROC board IPv4 address");
  cli.add_option("--tcp-port", s.board.tcpPort, "EASIROC board TCP port");
  cli.add_option("--udp-port", s.board.udpPort, "EASIROC board register-access (UDP) port");
  cli.add_option("--min-free-mb", s.minFreeMb,
                 "refuse or end a run below this much free disk space (MB; 0 = no check)")
      ->check(CLI::NonNegativeNumber);
  cli.add_option("--max-board-failures", s.maxBoardFailures,
                 "end a run after this many board event reads failed in a row (0 = never)")
      ->check(CLI::NonNegativeNumber);
  cli.add_option("--panel", s.panelFile, "panel description file");
  cli.add_flag("--no-restore", s.noRestore,
               "start with the panel file's values, not the settings remembered from the last "
               "session");
  CLI::Option* monitorPort = cli.add_option("--monitor-port", s.monitorPort,
                 "serve the read-only monitor page on this port (0 = any free port; off when "
                 "not given)")
      ->check(CLI::Range(0, 65535));
  cli.add_option("--monitor-address", s.monitorAddress,
                 "address the monitor listens on (default 127.0.0.1; any other needs "
                 "--monitor-token)")
      ->needs(monitorPort);
  cli.add_option("--monitor-token", s.monitorToken,
                 "token the monitor page and API require (Authorization: Bearer, or ?token= "
                 "once)")
      ->needs(monitorPort);
}

// Offscreen when asked or when there is no display to show the panel on.
void choose_platform(StationSettings& s) {
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  bool noDisplay = (!display || !*display) && (!wayland || !*wayland);
  if (s.headless || noDisplay) {
    s.headless = true;
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
}

// The read-only monitor, when a port is given. False when it cannot start.
bool start_monitor(MonitorServer& monitor, const StationSettings& s) {
  if (s.monitorPort < 0) return true;
  MonitorConfig mc;
  mc.port = s.monitorPort;
  mc.address = s.monitorAddress;
  mc.token = s.monitorToken;
  std::string why;
  snapshot_feed_enable(true);
  con_history_enable(200);
  if (!monitor.start(mc, &why)) {
    con_printf("Monitor not started: %s\n", why.c_str());
    con_flush();
    return false;
  }
  con_printf("monitor: %s\n", monitor.url().c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  StationSettings& s = station_settings();
  CLI::App cli{"mdq - data-acquisition station"};
  add_options(cli, s);
  CLI11_PARSE(cli, argc, argv);
  choose_platform(s);

  QApplication app(argc, argv);
  mdq::platform::QtBackend backend;
  mdq::platform::set_backend(&backend);
  mdq::platform::QtSettingsStore settingsStore;
  panel_memory_set_store(&settingsStore);
  ScriptRunner::set_screenshot_hook(
      [&backend](const std::string& path) { return backend.saveScreenshot(path); });
  // Headless, nobody could press quit after the script.
  ScriptRunner::set_quit_at_end(s.headless);

  if (s.simulate && !sim_stand_load(s)) return 2;
  if (!station_setup(s)) return 2;
  MonitorServer monitor;
  if (!start_monitor(monitor, s)) {
    sim_stand_unload();
    mdq::platform::set_backend(nullptr);
    return 2;
  }
  int rc = WinMain(s);
  monitor.stop();
  sim_stand_unload();
  panel_memory_set_store(nullptr);
  mdq::platform::set_backend(nullptr);
  return rc;
}
