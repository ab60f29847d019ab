// The station's EASIROC board as one owner: the connection, the settings, the
// configuration table and the bit streams built from it, the event buffer and
// the read-out's state. The board's operations (easiroc.h) work on it; the
// field names are the ones those operations have always used.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace easiroc {

using Clock = std::chrono::steady_clock;

// Every receive on the connection goes through one buffer, so bytes read
// ahead (a split acknowledgement, the next frame) are never lost between callers.
struct RxBuffer {
  static constexpr std::size_t kCapacity = 256 * 1024;
  std::vector<std::uint8_t> buf = std::vector<std::uint8_t>(kCapacity);
  std::size_t head = 0;
  std::size_t tail = 0;
  int lastError = 0;
  // Called before consumed bytes are overwritten (see rx_set_reuse_hook).
  void (*beforeReuse)() = nullptr;
};

// The configuration table and where it came from.
struct ConfigTable {
  unsigned int iniData[EASIROC_INI_VALUES] = {};
  std::mutex sourceMu;  // the source is read by the run record's thread
  std::string sourcePath, sourceText;
};

// The bit streams sent to the chips, built from the table.
struct BitStreams {
  unsigned int Pindata[2] = {};
  unsigned int slowdata[15] = {};
  unsigned int ReadSCdata[1] = {};
  unsigned int Probedata[sizeAsign] = {};
  unsigned int ProbeBuffer = 0;
};

// Event reads and the continuous read-out. Only one thread reads at a time.
struct ReadoutState {
  // After a bad header the stream is no longer aligned on frames: the next
  // read first looks for the next frame magic instead of taking whatever comes.
  bool resync = false;
  // The board closed the connection (or it failed) during a read.
  bool linkLost = false;
  bool linkLossSaid = false;  // said once per loss, not once per failing read
  // The last frame read had to wait for data.
  bool waited = true;
  // The acquisition reads thousands of frames a second: it mutes the
  // per-read error lines and says each kind of failure once itself.
  bool muteReadErrors = false;

  EasirocProgressHook hook = nullptr;
  void* hookUser = nullptr;

  // The continuous read-out's bookkeeping.
  struct Cycle {
    long long framesWritten = 0;
    long long bytesWritten = 0;
    bool writeFailed = false;
    const char* fileName = "";
  } cycle;
  // Whole frames consumed from the receive buffer but not yet written: a run
  // of back-to-back frames goes to the file in one call.
  struct PendingWrite {
    std::FILE* file = nullptr;
    const std::uint8_t* data = nullptr;
    std::size_t bytes = 0;
    long long frames = 0;
  } pending;
  // Only the continuous read-out defers writes.
  bool deferWrites = false;

  // The sampled frame dump and the progress line.
  Clock::time_point nextDump;
  unsigned dumpTick = 0;
  struct ProgressLine {
    Clock::time_point start, next;
    long long lastBytes = 0;
    Clock::time_point lastAt;
  } line;
  double lastReadoutSeconds = 0;
  EasirocReadoutStats lastReadout;
};

struct Board {
  std::atomic<SOCKET> sock{INVALID_SOCKET};  // INVALID_SOCKET when not connected
  EasirocSettings settings;
  ConfigTable config;
  BitStreams streams;
  // The single-event read copies a frame's data words here.
  unsigned int esrcdata[ESRCDATA_WORDS] = {};
  std::atomic<int> EndADC{0};
  // Stop request for the continuous read-out; any thread may set it to 1.
  std::atomic<int> ForceStop{0};
  ReadoutState readout;
  RxBuffer rx;
};

extern Board g_board;
// The station's board.
inline Board& board() { return g_board; }

}  // namespace easiroc
