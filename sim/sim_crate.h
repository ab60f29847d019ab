// The simulated crate behind the simulated VME driver: the CAMAC branch with
// the PIO, and the V1290. Lives in libmdq_simstand.so, so a test in the same
// process sees the very model the dlopen'd driver drives, reads its state
// and injects faults.
#pragma once

#include <cstdint>
#include <vector>

namespace mdq::sim {

enum class DriverOp { Init, Read, Write, Reset, Close };

enum class HandshakeMode {
  Normal,       // write-ok when nothing waits to be read, read-ok when an answer waits
  NeverReady,   // both bits always clear (a module that does not answer)
  AlwaysReady,  // both bits always set
};

struct SimCycle {
  bool write = false;
  unsigned char am = 0;     // address modifier of the session
  unsigned char width = 0;  // bytes
  std::uint32_t address = 0;
  std::uint32_t data = 0;   // first element
};

struct SimCrateState {
  int openSessions = 0;
  // CAMAC branch and crate 1
  std::uint16_t branchRegister = 0;
  unsigned zCount = 0, cCount = 0;
  bool inhibit = false, demand = false;
  // PIO
  std::uint16_t pioOutput = 0;
  std::uint16_t pioRegister2 = 0;
  unsigned pioWrites = 0;
  // V1290
  unsigned moduleResets = 0, softwareClears = 0, eventResets = 0;
  unsigned handshakeReads = 0;
  std::vector<std::uint16_t> microWrites;  // every word written to the micro register
  unsigned microProtocolErrors = 0;        // words written or read without the handshake bit
  bool triggerMatching = false;
  std::uint16_t windowWidth = 0, windowOffset = 0, extraMargin = 0, rejectMargin = 0;
  std::uint16_t triggerSubtraction = 0, edgeDetection = 0, resolution = 0, maxHits = 0;
  bool chipHeaders = true;
  std::uint32_t channelEnable = 0;  // bit n = channel n
  std::uint32_t eventCounter = 0;
  std::uint16_t eventsStored = 0;
  std::size_t wordsPending = 0;
};

// Power-on state of the whole crate, faults off, log cleared.
void simcrate_reset();
SimCrateState simcrate_state();
// The last bus cycles (bounded), oldest first; failed cycles are not logged.
std::vector<SimCycle> simcrate_cycles();
void simcrate_clear_cycles();

// Fault injection.
void simcrate_fail_op(DriverOp op, bool fail);
void simcrate_fail_address(std::uint32_t address, bool fail);
void simcrate_status_never_ready(bool on);
void simcrate_set_handshake(HandshakeMode mode);
void simcrate_suppress_global_trailer(bool on);
// Every k-th time the TDC reports data ready, a second trigger lands before
// the veto is set again (0 = never).
void simcrate_extra_trigger_every(unsigned k);

// The driver's entry points, forwarded by libpcivme_sim.so.
int simcrate_VMEinit(const char* device_name, unsigned short module_number,
                     unsigned char address_modifier, int* handle);
int simcrate_VMEread(int handle, std::uint32_t address, unsigned char width,
                     std::uint32_t count, void* buffer);
int simcrate_VMEwrite(int handle, std::uint32_t address, unsigned char width,
                      std::uint32_t count, void* buffer);
int simcrate_VMEreset(int handle);
int simcrate_VMEclose(int handle);

}  // namespace mdq::sim
