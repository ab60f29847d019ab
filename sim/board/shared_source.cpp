// Events from the simulated stand's shared trigger source, so that the board
// emulator's frames belong to the same triggers as the simulated TDC's.
#include "board_emulator.h"

namespace mdq::sim {

AdcFrameSource shared_trigger_frames() {
  return [](std::chrono::milliseconds timeout) {
    return shared_trigger_source().takeAdcFrame(timeout);
  };
}

}  // namespace mdq::sim
