#include "stand.h"

#include "sim_driver.h"

namespace mdq::sim {

std::string Stand::start(const StandOptions& options) {
  stop();
  auto& source = shared_trigger_source();
  source.reset();
  source.setFreeRunning(false);
  source.setRate(options.triggerRateHz);
  source.setVeto(true);
  if (!options.boardInProcess) return {};
  board_ = std::make_unique<BoardEmulator>(options.board);
  board_->setFrameSource(options.frames ? options.frames : shared_trigger_frames());
  if (!board_->start()) {
    board_.reset();
    return "board emulator could not start";
  }
  rbcp_ = std::make_unique<RbcpResponder>();
  if (rbcp_->start(0) != 0) {
    stop();
    return "register-access responder could not start";
  }
  return {};
}

void Stand::stop() {
  if (rbcp_) rbcp_->stop();
  if (board_) board_->stop();
  rbcp_.reset();
  board_.reset();
}

std::string Stand::driverPath() const { return simulated_driver_path(); }

}  // namespace mdq::sim
