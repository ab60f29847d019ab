// The session's dispatch table, reduced to what the crate commands need.
#include "crate_test_support.h"

void session_set_handler(int control, ControlHandler handler) {
  crate_test::handlers()[control] = handler;
}
