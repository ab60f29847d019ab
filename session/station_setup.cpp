#include "station_setup.h"

#include "board.h"
#include "daq_run.h"
#include "easiroc.h"
#include "platform.h"
#include "sitcp.h"
#include "wienvme_dll.h"

namespace {

bool valid_port(int port) { return port >= 0 && port <= 65535; }

}  // namespace

bool station_setup(const StationSettings& s) {
  if (!valid_port(s.boardTcpPort) || !valid_port(s.boardUdpPort)) {
    con_printf("Board ports out of range (tcp %d, udp %d): 0..65535\n", s.boardTcpPort,
               s.boardUdpPort);
    return false;
  }
  const std::string& address = s.boardAddress;
  const int tcpPort = s.boardTcpPort;
  const int udpPort = s.boardUdpPort;
  const std::string& driver = s.driverPath;

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
