#include "station_setup.h"

#include <memory>

#include "board.h"
#include "daq_run.h"
#include "board_emulator.h"
#include "easiroc.h"
#include "platform.h"
#include "rbcp_responder.h"
#include "sim_driver.h"
#include "sitcp.h"
#include "trigger_source.h"
#include "wienvme_dll.h"

namespace {

// The in-process half of the simulated stand; the crate half is the driver
// library the VME layer loads by path.
std::unique_ptr<mdq::sim::BoardEmulator> g_board;
std::unique_ptr<mdq::sim::RbcpResponder> g_rbcp;

bool valid_port(int port) { return port >= 0 && port <= 65535; }

}  // namespace

bool station_setup(const StationSettings& s) {
  if (!valid_port(s.boardTcpPort) || !valid_port(s.boardUdpPort)) {
    con_printf("Board ports out of range (tcp %d, udp %d): 0..65535\n", s.boardTcpPort,
               s.boardUdpPort);
    return false;
  }
  std::string address = s.boardAddress;
  int tcpPort = s.boardTcpPort;
  int udpPort = s.boardUdpPort;
  std::string driver = s.driverPath;

  if (s.simulate) {
    if (driver.empty()) driver = mdq::sim::simulated_driver_path();
    auto& source = mdq::sim::shared_trigger_source();
    source.reset();
    source.setFreeRunning(false);
    source.setRate(s.simRateHz);
    source.setVeto(true);
    // An explicit board address means a board (or mdq-sim) elsewhere.
    if (address.empty()) {
      g_board = std::make_unique<mdq::sim::BoardEmulator>();
      g_board->setFrameSource(mdq::sim::shared_trigger_frames());
      if (!g_board->start()) {
        con_printf("Simulated test stand: board emulator could not start\n");
        return false;
      }
      g_rbcp = std::make_unique<mdq::sim::RbcpResponder>();
      if (g_rbcp->start(0) != 0) {
        con_printf("Simulated test stand: register-access responder could not start\n");
        return false;
      }
      address = "127.0.0.1";
      tcpPort = g_board->port();
      udpPort = g_rbcp->port();
    }
    con_printf("Simulated test stand: crate driver %s, board %s tcp=%d udp=%d, triggers %.0f Hz\n",
               driver.c_str(), address.c_str(), tcpPort, udpPort, s.simRateHz);
  }

  if (!driver.empty()) wienvme_set_driver_path(driver.c_str());
  daq_set_min_free_bytes(static_cast<std::int64_t>(s.minFreeMb * 1e6));
  daq_set_max_board_failures(s.maxBoardFailures);
  board_settings().address = address;
  board_settings().tcpPort = tcpPort;
  easiroc_settings().tcpPort = tcpPort;
  sitcp_settings().address = address;
  sitcp_settings().tcpPort = static_cast<unsigned>(tcpPort);
  sitcp_settings().udpPort = static_cast<unsigned>(udpPort);
  return true;
}

void station_teardown() {
  if (station_settings().simulate)
    con_printf("Simulated test stand: %llu trigger(s) generated\n",
               static_cast<unsigned long long>(mdq::sim::shared_trigger_source().generated()));
  if (g_rbcp) g_rbcp->stop();
  if (g_board) g_board->stop();
  g_rbcp.reset();
  g_board.reset();
}
