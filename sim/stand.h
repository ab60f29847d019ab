// The simulated test stand assembled in one place: the crate driver library
// the VME layer loads by path, the board emulator and its register-access
// responder on 127.0.0.1, and the one trigger source they share.
#pragma once

#include <memory>
#include <string>

#include "board_emulator.h"
#include "rbcp_responder.h"
#include "trigger_source.h"

namespace mdq::sim {

struct StandOptions {
  double triggerRateHz = 300;  // while the veto is released; 0 = one per release
  bool boardInProcess = true;  // false: a board (or mdq-sim) elsewhere, crate only
  BoardEmulator::Options board;  // port 0: OS-chosen
  AdcFrameSource frames;         // the board's events; empty: the shared trigger source
};

class Stand {
 public:
  Stand() = default;
  ~Stand() { stop(); }
  Stand(const Stand&) = delete;
  Stand& operator=(const Stand&) = delete;

  // Resets the trigger source (veto on) and starts the in-process board.
  // Empty on success, else what failed.
  std::string start(const StandOptions& options);
  void stop();

  std::string driverPath() const;
  int tcpPort() const { return board_ ? board_->port() : 0; }
  int udpPort() const { return rbcp_ ? rbcp_->port() : 0; }
  BoardEmulator* board() { return board_.get(); }
  RbcpResponder* rbcp() { return rbcp_.get(); }
  TriggerSource& triggers() { return shared_trigger_source(); }

 private:
  std::unique_ptr<BoardEmulator> board_;
  std::unique_ptr<RbcpResponder> rbcp_;
};

}  // namespace mdq::sim
