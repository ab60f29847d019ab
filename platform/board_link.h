// Where the EASIROC board is: one record for both of its links, TCP
// (configuration and events) and UDP register access (bias). The station's
// settings (command line, --simulate) fill it before the first connect.
#pragma once

#include <string>

struct BoardLink {
  std::string address;  // dotted quad; empty = the board's factory address
  int tcpPort = 24;
  int udpPort = 4660;
  // The address to use: this record's, or the factory one.
  const char* host() const;
};

// The board's factory address on the detector network.
const char* board_default_address();
BoardLink& board_link();
