#include "station_setup.h"

#include "board.h"
#include "daq_run.h"
#include "easiroc.h"
#include "platform.h"
#include "sitcp.h"
#include "wienvme_dll.h"
#include "board_link.h"

namespace {

bool valid_port(int port) { return port >= 0 && port <= 65535; }

}  // namespace

bool station_setup(const StationSettings& s) {
  if (!valid_port(s.board.tcpPort) || !valid_port(s.board.udpPort)) {
    con_printf("Board ports out of range (tcp %d, udp %d): 0..65535\n", s.board.tcpPort,
               s.board.udpPort);
    return false;
  }
  const std::string& driver = s.driverPath;

  if (!driver.empty()) wienvme_set_driver_path(driver.c_str());
  daq_set_min_free_bytes(static_cast<std::int64_t>(s.minFreeMb * 1e6));
  daq_set_max_board_failures(s.maxBoardFailures);
  board_link() = s.board;
  return true;
}
