// The run's view of the V1290: single-word bus cycles at the module's
// registers, and the PIO veto beside it. Each returns the bus status
// (0 = the cycle went through).
#pragma once

#include <cstdint>

#include "camac.h"
#include "v1290.h"
#include "wienvme_dll.h"

namespace tdc {

[[nodiscard]] inline int clear() {
  std::uint16_t zero = 0;
  return WIENVME_write16(hHandle24, 1, V1290_SW_CLEAR, &zero);
}
[[nodiscard]] inline int status(std::uint16_t* value) {
  return WIENVME_read16(hHandle24, 1, V1290_STATUS, value);
}
[[nodiscard]] inline int events_stored(std::uint16_t* value) {
  return WIENVME_read16(hHandle24, 1, V1290_EVENT_STORED, value);
}
[[nodiscard]] inline int event_counter(std::uint32_t* value) {
  return WIENVME_read32(hHandle24, 1, V1290_EVENT_COUNTER, value);
}
[[nodiscard]] inline int output_word(std::uint32_t* value) {
  return WIENVME_read32(hHandle24, 1, V1290_OUTPUT_BUFFER, value);
}

}  // namespace tdc

// The trigger veto: the PIO output bit (1 = no triggers).
[[nodiscard]] inline int veto_write(bool on) { return PIO_write(on ? 1 : 0); }
