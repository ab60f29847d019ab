// ADC event read-out: start/stop words, event frames, single events and the
// continuous read-out into a file.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "easiroc.h"
#include "easiroc_internal.h"
#include "platform.h"

using namespace easiroc_detail;

unsigned int esrcdata[ESRCDATA_WORDS] = {};
std::atomic<int> EndADC{0};
std::atomic<int> ForceStop{0};

namespace {

constexpr std::size_t kHeaderBytes = NofHeader * 4;
constexpr unsigned kMaxCycleDataWords = EASIROC_FRAME_BUFFER_WORDS - NofHeader;
const std::uint8_t kMagicBytes[4] = {0x0C, 0xEA, 0xFF, 0xFF};

// After a bad header the stream is no longer aligned on frames: the next read
// first looks for the next frame magic instead of taking whatever comes.
bool g_resync = false;
// The board closed the connection (or it failed) during a read.
bool g_linkLost = false;
// The last frame read had to wait for data.
bool g_waited = true;

EasirocProgressHook g_hook = nullptr;
void* g_hookUser = nullptr;

// The continuous read-out's bookkeeping, filled by ADCOneCycle_wHeader_ver2.
struct CycleState {
  long long framesWritten = 0;
  long long bytesWritten = 0;
  bool writeFailed = false;
  const char* fileName = "";
} g_cycle;

// Whole frames consumed from the receive buffer but not yet written. A run
// of back-to-back frames goes to the file in one call: a call per frame cost
// a noticeable share of the read-out at full speed.
constexpr std::size_t kWriteRunBytes = 64 * 1024;
struct PendingWrite {
  std::FILE* file = nullptr;
  const std::uint8_t* data = nullptr;
  std::size_t bytes = 0;
  long long frames = 0;
} g_pending;
// Only the continuous read-out defers writes: it flushes before the receive
// buffer is reused and when it ends. A cycle called on its own writes at once.
bool g_deferWrites = false;

void flush_pending() {
  if (g_pending.bytes != 0 && !g_cycle.writeFailed) {
    if (fwrite_unlocked(g_pending.data, 1, g_pending.bytes, g_pending.file) != g_pending.bytes) {
      con_printf("ContinuousADC_ver2: writing %s failed (%s); read-out stops\n", g_cycle.fileName,
                 std::strerror(errno));
      g_cycle.writeFailed = true;
    } else {
      g_cycle.framesWritten += g_pending.frames;
      g_cycle.bytesWritten += static_cast<long long>(g_pending.bytes);
    }
  }
  g_pending = PendingWrite{};
}

enum class ReadKind { Cycle, Single };

struct FrameRead {
  int status = 0;  // 0 frame in the receive buffer, -1 nothing while draining, -2 bad frame
  std::uint32_t header[NofHeader] = {1, 1, 1};
  unsigned n = 0;        // data words
  bool oversized = false;
};

const char* why(RxStatus st) {
  switch (st) {
    case RxStatus::Closed: return "the board closed the connection";
    case RxStatus::Timeout: return "receive time-out";
    case RxStatus::Aborted: return "stop requested";
    default: return "receive error";
  }
}

void note_link(RxStatus st) {
  if (st == RxStatus::Closed || st == RxStatus::Error) g_linkLost = true;
}

void header_error(const std::uint32_t h[NofHeader]) {
  con_printf("Fatal ADC ERROR : HEADER\n");
  con_printf("Header1 : 0x%x | Header2 : 0x%x | Header3 : 0x%x\n", h[0], h[1], h[2]);
}

// Skips bytes up to the next frame magic. Returns false when none came in time.
bool resynchronise(Clock::time_point deadline, const std::atomic<int>* abort) {
  std::size_t skipped = 0;
  bool found = false;
  while (true) {
    RxStatus st = rx_fill(4, deadline, abort);
    if (st != RxStatus::Ok) {
      note_link(st);
      break;
    }
    const std::uint8_t* p = rx_data();
    std::size_t avail = rx_avail();
    const void* hit = memmem(p, avail, kMagicBytes, 4);
    if (hit) {
      std::size_t k = static_cast<const std::uint8_t*>(hit) - p;
      rx_consume(k);
      skipped += k;
      found = true;
      break;
    }
    // Keep the last 3 bytes: they may be the start of a magic.
    rx_consume(avail - 3);
    skipped += avail - 3;
  }
  if (skipped) con_printf("ADC read-out: skipped %zu bytes up to the next frame magic\n", skipped);
  if (found) g_resync = false;
  return found;
}

// Reads one frame into the receive buffer (header and body stay there until
// the caller consumes 12 + 4N bytes). Never returns a partial frame.
FrameRead read_frame(ReadKind kind, bool draining, const std::atomic<int>* abort) {
  FrameRead fr;
  const int badResult = kind == ReadKind::Cycle ? -1 : -2;
  // The clock is read only when a wait may be needed.
  bool buffered = rx_avail() >= kHeaderBytes && !g_resync;
  if (!buffered) g_waited = true;
  auto deadline = buffered ? Clock::time_point{} : recv_deadline();
  if (g_resync && !resynchronise(deadline, abort)) {
    if (!draining && !(abort && abort->load())) header_error(fr.header);
    fr.status = draining ? -1 : badResult;
    return fr;
  }
  RxStatus st = rx_avail() >= kHeaderBytes ? RxStatus::Ok : rx_fill(kHeaderBytes, deadline, abort);
  if (st != RxStatus::Ok) {
    note_link(st);
    std::size_t got = rx_avail();
    if (got == 0) {
      // Nothing at all: the read fails quietly while draining or stopping.
      if (draining || st == RxStatus::Aborted) {
        fr.status = -1;
        return fr;
      }
      header_error(fr.header);
    } else {
      con_printf("Fatal ADC ERROR : HEADER\n");
      con_printf("ADC read-out: incomplete frame header (%zu of %zu bytes): %s\n", got,
                 kHeaderBytes, why(st));
      rx_consume(got);
      g_resync = true;
    }
    fr.status = draining ? -1 : badResult;
    return fr;
  }
  for (int i = 0; i < NofHeader; ++i) fr.header[i] = le32(rx_data() + 4 * i);
  if (fr.header[0] != EASIROC_FRAME_MAGIC) {
    header_error(fr.header);
    rx_consume(1);
    g_resync = true;
    fr.status = draining ? -1 : badResult;
    return fr;
  }
  fr.n = fr.header[1] & 0xFFFF;
  unsigned limit = kind == ReadKind::Cycle ? kMaxCycleDataWords : ESRCDATA_WORDS - 1;
  if (fr.n > limit) {
    // Not read into any buffer: the body is skipped by looking for the next
    // magic rather than by trusting the length from the wire.
    fr.oversized = true;
    rx_consume(kHeaderBytes);
    g_resync = true;
    return fr;
  }
  std::size_t total = kHeaderBytes + 4 * std::size_t(fr.n);
  st = rx_avail() >= total ? RxStatus::Ok : rx_fill(total, recv_deadline());
  if (st != RxStatus::Ok) {
    note_link(st);
    std::size_t got = rx_avail() - kHeaderBytes;
    con_printf("Fatal ADC ERROR : BODY\n");
    con_printf("ADC read-out: incomplete frame body (%zu of %u bytes, Header2 : 0x%x): %s\n", got,
               4 * fr.n, fr.header[1], why(st));
    rx_consume(rx_avail());
    g_resync = true;
    fr.status = draining ? -1 : badResult;
    return fr;
  }
  fr.status = 0;
  return fr;
}

void report_progress(long long cycles, long long maxCycles, bool draining, bool finished,
                     Clock::time_point* last) {
  if (!g_hook) return;
  // At full speed the frames come out of the receive buffer back to back;
  // reading the clock for every one of them is a noticeable share of the
  // cost, so then only every 16th cycle looks at it.
  bool quick = !g_waited && (cycles & 15) != 0;
  g_waited = false;
  if (quick && !finished && cycles != maxCycles) return;
  auto now = Clock::now();
  // The last cycle is always shown, before the drain begins.
  if (!finished && cycles != maxCycles &&
      now - *last < std::chrono::milliseconds(easiroc_settings().progressIntervalMs))
    return;
  *last = now;
  EasirocProgress p;
  p.cycles = cycles;
  p.maxCycles = maxCycles;
  p.framesWritten = g_cycle.framesWritten;
  p.bytesWritten = g_cycle.bytesWritten;
  p.draining = draining;
  p.finished = finished;
  g_hook(p, g_hookUser);
}

bool require_connection(const char* who) {
  if (sock.load() >= 0) return true;
  con_printf("%s: no board connection (connect first)\n", who);
  return false;
}

void send_raw(SOCKET s, std::uint32_t word, const char* who) {
  if (send_word(s, word) != 0) con_printf("%s: send failed: %d\n", who, errno);
}

// Stops the board and reads the frames still in flight, writing none.
void stop_and_drain(SOCKET s, std::FILE* file, long long cycles, long long maxCycles,
                    Clock::time_point* last) {
  ADCStop(s);
  EndADC = 1;
  int counter = 0;
  int drained = 0;
  while (ADCOneCycle_wHeader_ver2(s, file, 1) == 0) {
    pause_us(1000);
    if (counter == 50) {
      ADCStop(s);
      counter = 0;
    }
    con_printf(".");
    ++counter;
    if (++drained >= easiroc_settings().drainMaxFrames) {
      con_printf("\nADC drain: the board still sends after %d frames; giving up. Stop the board "
                 "and reconnect before taking data.\n",
                 drained);
      break;
    }
    if (last) report_progress(cycles, maxCycles, true, false, last);
  }
  EndADC = 0;
  ForceStop = 0;
}

}  // namespace

void easiroc_set_progress_hook(EasirocProgressHook hook, void* user) {
  g_hook = hook;
  g_hookUser = user;
}

void ADCStop(SOCKET socket) {
  con_printf("ADC exit process\n");
  send_raw(socket, EASIROC_STOP_WORD1, "ADCStop");
  pause_us(1000);
  send_raw(socket, EASIROC_STOP_WORD2, "ADCStop");
  pause_us(10000);
}

int easiroc_singleADCstart(void) {
  if (!require_connection("easiroc_singleADCstart")) return -1;
  g_linkLost = false;
  if (send_word(sock.load(), EASIROC_START_WORD) != 0) {
    con_printf("easiroc_singleADCstart: send failed: %d\n", errno);
    return -1;
  }
  pause_us(easiroc_settings().startPauseUs);
  con_printf("\nStart ADC\n");
  return 0;
}

int easiroc_discard_pending(int quietMs) {
  if (sock.load() < 0) return 0;
  EasirocSettings& set = easiroc_settings();
  const int saved = set.recvTimeoutMs;
  set.recvTimeoutMs = std::max(1, quietMs);
  int n = 0;
  while (n < set.drainMaxFrames) {
    FrameRead fr = read_frame(ReadKind::Single, true, nullptr);
    if (fr.status != 0) break;
    if (!fr.oversized) rx_consume(kHeaderBytes + 4 * std::size_t(fr.n));
    ++n;
  }
  set.recvTimeoutMs = saved;
  return n;
}

int easiroc_singleADCevent(unsigned int* retData) {
  FrameRead fr = read_frame(ReadKind::Single, EndADC.load() == 1, nullptr);
  if (fr.status != 0) return fr.status;
  if (fr.oversized) {
    con_printf("easiroc_singleADCevent: frame of %u data words does not fit the %d-word event "
               "buffer; not copied\n",
               fr.n, ESRCDATA_WORDS);
    return int(fr.n);
  }
  if (retData) std::memcpy(retData, rx_data() + kHeaderBytes, 4 * std::size_t(fr.n));
  rx_consume(kHeaderBytes + 4 * std::size_t(fr.n));
  return int(fr.n);
}

int easiroc_singleADCstop(void) {
  if (require_connection("easiroc_singleADCstop")) stop_and_drain(sock.load(), nullptr, 0, 0, nullptr);
  con_printf("\nEnd ADC\n");
  return 0;
}

int ADCOneCycle_wHeader_ver2(SOCKET socket, std::FILE* file, int stopping) {
  FrameRead fr = read_frame(ReadKind::Cycle, stopping != 0, stopping ? nullptr : &ForceStop);
  pause_us(easiroc_settings().framePauseUs);
  if (fr.status != 0) return -1;
  if (fr.oversized) {
    con_printf("ContinuousADC_ver2: frame of %u data words exceeds the %u-word frame buffer; "
               "skipped\n",
               fr.n, kMaxCycleDataWords);
    return stopping ? 0 : -1;
  }
  const std::uint8_t* raw = rx_data();
  std::size_t bytes = kHeaderBytes + 4 * std::size_t(fr.n);
  if (!stopping && easiroc_settings().printDataWords) {
    std::string line;
    line.reserve(fr.n * 16 + 2);
    char item[32];
    for (unsigned i = 0; i < fr.n; ++i) {
      std::snprintf(item, sizeof item, "[%u] 0x%x ", i, le32(raw + kHeaderBytes + 4 * i));
      line += item;
    }
    line += '\n';
    con_write(line);
  }
  if (EndADC.load() != 1 && file && !g_cycle.writeFailed) {
    if (g_pending.bytes != 0 &&
        (g_pending.data + g_pending.bytes != raw || g_pending.bytes >= kWriteRunBytes))
      flush_pending();
    if (!g_cycle.writeFailed) {
      if (g_pending.bytes == 0) {
        g_pending.file = file;
        g_pending.data = raw;
      }
      g_pending.bytes += bytes;
      ++g_pending.frames;
    }
    if (!g_deferWrites) flush_pending();
  }
  rx_consume(bytes);
  return 0;
}

int ContinuousADC_ver2(SOCKET socket, const char* file_name, int MaxCycleNum) {
  if (!require_connection("ContinuousADC_ver2")) return -1;
  std::FILE* file = std::fopen(file_name, "wb");
  if (!file) {
    con_printf("ContinuousADC_ver2: ERROR opneing file %s\n", file_name);
    return -1;
  }
  std::setvbuf(file, nullptr, _IOFBF, 1 << 20);
  g_cycle = CycleState{};
  g_pending = PendingWrite{};
  rx_set_reuse_hook(flush_pending);
  g_deferWrites = true;
  g_cycle.fileName = file_name;
  g_linkLost = false;
  ForceStop = 0;
  auto last = Clock::now();
  long long cycle = 0;
  if (MaxCycleNum <= 0) {
    // Starting the board with nobody to read or stop it would leave it
    // sending into the connection.
    con_printf("ContinuousADC_ver2: MaxCycleNum = %d, nothing to read; board not started\n",
               MaxCycleNum);
  } else {
    send_raw(socket, EASIROC_START_WORD, "ContinuousADC_ver2");
    pause_us(easiroc_settings().startPauseUs);
    while (cycle < MaxCycleNum) {
      ADCOneCycle_wHeader_ver2(socket, file, 0);
      ++cycle;
      if (cycle == MaxCycleNum) flush_pending();  // the last cycle's progress counts it
      if (cycle % 1000 == 0) con_printf("Event # %lld\n", cycle);
      report_progress(cycle, MaxCycleNum, false, false, &last);
      if (g_linkLost) {
        con_printf("ContinuousADC_ver2: connection to the board lost after %lld cycles; %lld "
                   "frames in %s\n",
                   cycle, g_cycle.framesWritten, file_name);
        break;
      }
      bool stopRequested = ForceStop.load() == 1;
      if (cycle == MaxCycleNum || stopRequested || g_cycle.writeFailed) {
        if (stopRequested) con_printf("ContinuousADC_ver2: stop requested after %lld cycles\n", cycle);
        flush_pending();
        stop_and_drain(socket, file, cycle, MaxCycleNum, &last);
        break;
      }
    }
  }
  flush_pending();
  g_deferWrites = false;
  rx_set_reuse_hook(nullptr);
  con_printf("\nEnd ADC\n");
  bool closeFailed = std::fclose(file) != 0;
  if (closeFailed)
    con_printf("ContinuousADC_ver2: closing %s failed (%s); the file may be incomplete\n", file_name,
               std::strerror(errno));
  report_progress(cycle, MaxCycleNum, false, true, &last);
  ForceStop = 0;
  return closeFailed || g_cycle.writeFailed || g_linkLost ? -1 : 0;
}

int easiroc_fDAQ(const char* file_name, int MaxCycleNum) {
  con_printf("easiroc_fDAQ: Starting DAQ with file_name = %s | MaxCycleNum = %d\n", file_name,
             MaxCycleNum);
  return ContinuousADC_ver2(sock.load(), file_name, MaxCycleNum) == 0 ? 0 : -1;
}
