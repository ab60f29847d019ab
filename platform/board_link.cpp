#include "board_link.h"

const char* board_default_address() { return "192.168.10.16"; }

const char* BoardLink::host() const {
  return address.empty() ? board_default_address() : address.c_str();
}

BoardLink& board_link() {
  static BoardLink link;
  return link;
}
