// ADC event read-out: start/stop words, event frames, single events and the
// continuous read-out into a file.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include <poll.h>
#include <sys/socket.h>

#include "easiroc.h"
#include "easiroc_internal.h"
#include "platform.h"

using namespace easiroc;

using namespace easiroc_detail;

namespace {

// A run of back-to-back frames goes to the file in one call: a call per frame
// cost a noticeable share of the read-out at full speed.
constexpr std::size_t kWriteRunBytes = 64 * 1024;
constexpr std::size_t kHeaderBytes = NofHeader * 4;
constexpr unsigned kMaxCycleDataWords = EASIROC_FRAME_BUFFER_WORDS - NofHeader;
const std::uint8_t kMagicBytes[4] = {0x0C, 0xEA, 0xFF, 0xFF};

void flush_pending() {
  if (board().readout.pending.bytes != 0 && !board().readout.cycle.writeFailed) {
    if (fwrite_unlocked(board().readout.pending.data, 1, board().readout.pending.bytes, board().readout.pending.file) != board().readout.pending.bytes) {
      con_printf("ContinuousADC_ver2: writing %s failed (%s); read-out stops\n", board().readout.cycle.fileName,
                 std::strerror(errno));
      board().readout.cycle.writeFailed = true;
    } else {
      board().readout.cycle.framesWritten += board().readout.pending.frames;
      board().readout.cycle.bytesWritten += static_cast<long long>(board().readout.pending.bytes);
    }
  }
  board().readout.pending = ReadoutState::PendingWrite{};
}

enum class ReadKind { Cycle, Single };

struct FrameRead {
  int status = 0;  // 0 frame in the receive buffer, -1 nothing while draining, -2 bad frame
  std::uint32_t header[NofHeader] = {1, 1, 1};
  unsigned n = 0;        // data words
  bool oversized = false;
  // Why no frame came: nothing at all within the wait, the link went down,
  // or bytes that were not a whole frame.
  BoardReadStatus outcome = BoardReadStatus::Ok;
};

const char* why(RxStatus st) {
  switch (st) {
    case RxStatus::Closed: return "the board closed the connection";
    case RxStatus::Timeout: return "receive time-out";
    case RxStatus::Aborted: return "stop requested";
    default: return "receive error";
  }
}

template <typename... Args>
void rd_printf(const char* fmt, Args... args) {
  if (!board().readout.muteReadErrors) con_printf(fmt, args...);
}

bool note_link(RxStatus st) {
  // With no connection at all there is no link to lose.
  if ((st == RxStatus::Closed || st == RxStatus::Error) && board().sock.load() >= 0) board().readout.linkLost = true;
  return board().readout.linkLost;
}

void say_link_lost(RxStatus st) {
  if (board().readout.linkLossSaid || board().readout.muteReadErrors) return;
  board().readout.linkLossSaid = true;
  con_printf("ADC read-out: %s -- reconnect the board (Connect) before reading events.\n",
             st == RxStatus::Closed ? "the board closed the connection"
                                    : "the connection to the board failed");
}

void header_error(const std::uint32_t h[NofHeader]) {
  rd_printf("Fatal ADC ERROR : HEADER\n");
  rd_printf("Header1 : 0x%x | Header2 : 0x%x | Header3 : 0x%x\n", h[0], h[1], h[2]);
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
  if (skipped) rd_printf("ADC read-out: skipped %zu bytes up to the next frame magic\n", skipped);
  if (found) board().readout.resync = false;
  return found;
}

// Reads one frame into the receive buffer (header and body stay there until
// the caller consumes 12 + 4N bytes). Never returns a partial frame.
// `waitUntil` bounds the wait for the header; a default one means the
// connection's receive time-out.
FrameRead read_frame(ReadKind kind, bool draining, const std::atomic<int>* abort,
                     Clock::time_point waitUntil = {}) {
  FrameRead fr;
  const int badResult = kind == ReadKind::Cycle ? -1 : -2;
  // The clock is read only when a wait may be needed.
  bool buffered = rx_avail() >= kHeaderBytes && !board().readout.resync;
  if (!buffered) board().readout.waited = true;
  auto deadline = buffered                            ? Clock::time_point{}
                  : waitUntil != Clock::time_point{} ? waitUntil
                                                      : recv_deadline();
  if (board().readout.resync && !resynchronise(deadline, abort)) {
    const bool lost = board().readout.linkLost;
    if (!draining && !(abort && abort->load()) && !lost) header_error(fr.header);
    fr.outcome = lost ? BoardReadStatus::LinkLost : BoardReadStatus::Timeout;
    fr.status = draining ? -1 : badResult;
    return fr;
  }
  RxStatus st = rx_avail() >= kHeaderBytes ? RxStatus::Ok : rx_fill(kHeaderBytes, deadline, abort);
  if (st != RxStatus::Ok) {
    const bool lost = note_link(st);
    std::size_t got = rx_avail();
    fr.outcome = lost ? BoardReadStatus::LinkLost
                 : got == 0 ? BoardReadStatus::Timeout
                            : BoardReadStatus::BadFrame;
    if (got == 0) {
      // Nothing at all: the read fails quietly while draining or stopping.
      if (draining || st == RxStatus::Aborted) {
        fr.status = -1;
        return fr;
      }
      header_error(fr.header);
      if (lost) say_link_lost(st);
    } else {
      rd_printf("Fatal ADC ERROR : HEADER\n");
      rd_printf("ADC read-out: incomplete frame header (%zu of %zu bytes): %s\n", got,
                 kHeaderBytes, why(st));
      rx_consume(got);
      board().readout.resync = true;
    }
    fr.status = draining ? -1 : badResult;
    return fr;
  }
  for (int i = 0; i < NofHeader; ++i) fr.header[i] = le32(rx_data() + 4 * i);
  if (fr.header[0] != EASIROC_FRAME_MAGIC) {
    fr.outcome = BoardReadStatus::BadFrame;
    header_error(fr.header);
    rx_consume(1);
    board().readout.resync = true;
    fr.status = draining ? -1 : badResult;
    return fr;
  }
  fr.n = fr.header[1] & 0xFFFF;
  unsigned limit = kind == ReadKind::Cycle ? kMaxCycleDataWords : ESRCDATA_WORDS - 1;
  if (fr.n > limit) {
    // Not read into any buffer: the body is skipped by looking for the next
    // magic rather than by trusting the length from the wire.
    fr.oversized = true;
    fr.outcome = BoardReadStatus::Oversized;
    rx_consume(kHeaderBytes);
    board().readout.resync = true;
    return fr;
  }
  std::size_t total = kHeaderBytes + 4 * std::size_t(fr.n);
  st = rx_avail() >= total ? RxStatus::Ok : rx_fill(total, recv_deadline());
  if (st != RxStatus::Ok) {
    fr.outcome = note_link(st) ? BoardReadStatus::LinkLost : BoardReadStatus::BadFrame;
    std::size_t got = rx_avail() - kHeaderBytes;
    rd_printf("Fatal ADC ERROR : BODY\n");
    rd_printf("ADC read-out: incomplete frame body (%zu of %u bytes, Header2 : 0x%x): %s\n", got,
               4 * fr.n, fr.header[1], why(st));
    rx_consume(rx_avail());
    board().readout.resync = true;
    fr.status = draining ? -1 : badResult;
    return fr;
  }
  fr.status = 0;
  return fr;
}

// The sampled frame dump: the clock is looked at once every 256 frames at
// most, so a read-out at link rate pays next to nothing for it.
bool want_dump() {
  const EasirocSettings& s = easiroc_settings();
  switch (s.frameDump) {
    case EasirocSettings::FrameDump::Every: return true;
    case EasirocSettings::FrameDump::None: return false;
    case EasirocSettings::FrameDump::Sampled: break;
  }
  if (s.dumpFramesPerSecond <= 0 || (board().readout.dumpTick++ & 255) != 0) return false;
  const auto now = Clock::now();
  if (now < board().readout.nextDump) return false;
  board().readout.nextDump = now + std::chrono::microseconds(1000000 / s.dumpFramesPerSecond);
  return true;
}

// "Read-out: N frames, X MB, Y MB/s" once a period: what the operator sees
// of a read-out instead of every word.

void progress_line(Clock::time_point now, bool force) {
  const int period = easiroc_settings().progressLineMs;
  if (period <= 0 || (!force && now < board().readout.line.next)) return;
  board().readout.line.next = now + std::chrono::milliseconds(period);
  const double dt = std::chrono::duration<double>(now - board().readout.line.lastAt).count();
  const long long bytes = board().readout.cycle.bytesWritten;
  const double rate = dt > 0 ? double(bytes - board().readout.line.lastBytes) / dt / 1e6 : 0;
  board().readout.line.lastBytes = bytes;
  board().readout.line.lastAt = now;
  con_printf("Read-out: %lld frames, %.1f MB, %.1f MB/s\n", board().readout.cycle.framesWritten, bytes / 1e6,
             rate);
}

void report_progress(long long cycles, long long maxCycles, bool draining, bool finished,
                     Clock::time_point* last) {
  // At full speed the frames come out of the receive buffer back to back;
  // reading the clock for every one of them is a noticeable share of the
  // cost, so then only every 16th cycle looks at it.
  bool quick = !board().readout.waited && (cycles & 15) != 0;
  board().readout.waited = false;
  if (quick && !finished && cycles != maxCycles) return;
  auto now = Clock::now();
  if (!draining && !finished) progress_line(now, false);
  // The last cycle is always shown, before the drain begins.
  if (!board().readout.hook) return;
  if (!finished && cycles != maxCycles &&
      now - *last < std::chrono::milliseconds(easiroc_settings().progressIntervalMs))
    return;
  *last = now;
  EasirocProgress p;
  p.cycles = cycles;
  p.maxCycles = maxCycles;
  p.framesWritten = board().readout.cycle.framesWritten;
  p.bytesWritten = board().readout.cycle.bytesWritten;
  p.draining = draining;
  p.finished = finished;
  board().readout.hook(p, board().readout.hookUser);
}

bool require_connection(const char* who) {
  if (board().sock.load() >= 0) return true;
  con_printf("%s: no board connection (connect first)\n", who);
  return false;
}

void send_raw(SOCKET s, std::uint32_t word, const char* who) {
  if (send_word(s, word) != 0) con_printf("%s: send failed: %d\n", who, errno);
}

// Stops the board and reads the frames still in flight, writing none. A
// frame cut or corrupted on the way may still have frames behind it, so
// only silence (or a lost link) ends the drain.
void stop_and_drain(SOCKET s, long long cycles, long long maxCycles, Clock::time_point* last) {
  ADCStop(s);
  board().EndADC = 1;
  int counter = 0;
  int drained = 0;
  int bad = 0;
  const int limit = easiroc_settings().drainMaxFrames;
  while (true) {
    FrameRead fr = read_frame(ReadKind::Cycle, true, nullptr);
    pause_us(easiroc_settings().framePauseUs);
    if (fr.status != 0) {
      if (fr.outcome == BoardReadStatus::BadFrame && ++bad < limit) continue;
      break;
    }
    if (!fr.oversized) rx_consume(kHeaderBytes + 4 * std::size_t(fr.n));
    pause_us(1000);
    if (counter == 50) {
      ADCStop(s);
      counter = 0;
    }
    con_printf(".");
    ++counter;
    if (++drained >= limit) {
      con_printf("\nADC drain: the board still sends after %d frames; giving up. Stop the board "
                 "and reconnect before taking data.\n",
                 drained);
      break;
    }
    if (last) report_progress(cycles, maxCycles, true, false, last);
  }
  board().EndADC = 0;
  board().ForceStop = 0;
}

}  // namespace

void easiroc_set_progress_hook(EasirocProgressHook hook, void* user) {
  board().readout.hook = hook;
  board().readout.hookUser = user;
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
  if (easiroc_link_state() != 0) {
    con_printf("easiroc_singleADCstart: the board closed the connection -- reconnect (Connect) "
               "first\n");
    return -1;
  }
  board().readout.linkLost = false;
  board().readout.linkLossSaid = false;
  if (send_word(board().sock.load(), EASIROC_START_WORD) != 0) {
    con_printf("easiroc_singleADCstart: send failed: %d\n", errno);
    return -1;
  }
  pause_us(easiroc_settings().startPauseUs);
  con_printf("\nStart ADC\n");
  return 0;
}

BoardDiscard easiroc_discard_pending(int quietMs, int maxMs, bool (*keepGoing)()) {
  BoardDiscard d;
  if (board().sock.load() < 0) return d;
  const auto end = Clock::now() + std::chrono::milliseconds(std::max(0, maxMs));
  const auto quiet = std::chrono::milliseconds(std::max(1, quietMs));
  const bool muted = board().readout.muteReadErrors;
  board().readout.muteReadErrors = true;
  for (int bad = 0;;) {
    if (keepGoing && !keepGoing()) {
      d.aborted = true;
      break;
    }
    const auto now = Clock::now();
    if (now >= end) {
      d.stillSending = true;
      break;
    }
    // Only a whole quiet period counts as quiet: a wait cut short by the
    // bound says nothing about the board.
    const bool fullQuiet = now + quiet <= end;
    FrameRead fr = read_frame(ReadKind::Single, true, nullptr, fullQuiet ? now + quiet : end);
    if (fr.status != 0) {
      if (fr.outcome == BoardReadStatus::BadFrame && ++bad < 100000) continue;
      d.linkLost = fr.outcome == BoardReadStatus::LinkLost;
      d.stillSending = !d.linkLost && !fullQuiet && d.dropped > 0;
      break;
    }
    if (!fr.oversized) rx_consume(kHeaderBytes + 4 * std::size_t(fr.n));
    ++d.dropped;
  }
  board().readout.muteReadErrors = muted;
  return d;
}

int easiroc_link_state() {
  const int fd = board().sock.load();
  if (fd < 0) return -1;
  pollfd pf{fd, POLLIN, 0};
  if (poll(&pf, 1, 0) <= 0) return 0;
  if (pf.revents & (POLLERR | POLLHUP)) return -2;
  char b;
  const ssize_t got = recv(fd, &b, 1, MSG_PEEK | MSG_DONTWAIT);
  if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return -2;
  return 0;
}

bool easiroc_link_lost() { return board().readout.linkLost; }

void easiroc_mute_read_errors(bool mute) { board().readout.muteReadErrors = mute; }

BoardEvent easiroc_read_event(unsigned int* retData) {
  BoardEvent ev;
  if (board().sock.load() < 0) {
    ev.status = BoardReadStatus::NoLink;
    return ev;
  }
  FrameRead fr = read_frame(ReadKind::Single, false, nullptr);
  std::copy(std::begin(fr.header), std::end(fr.header), ev.header);
  ev.words = fr.n;
  if (fr.status != 0 || fr.oversized) {
    ev.status = fr.status != 0 ? fr.outcome : BoardReadStatus::Oversized;
    return ev;
  }
  if (retData) std::memcpy(retData, rx_data() + kHeaderBytes, 4 * std::size_t(fr.n));
  rx_consume(kHeaderBytes + 4 * std::size_t(fr.n));
  ev.n = int(fr.n);
  return ev;
}

int easiroc_drop_events(int n, BoardReadStatus* failure) {
  int dropped = 0;
  for (; dropped < n; ++dropped) {
    BoardEvent ev = easiroc_read_event(nullptr);
    if (ev.status != BoardReadStatus::Ok) {
      if (failure) *failure = ev.status;
      break;
    }
  }
  return dropped;
}

int easiroc_drop_arrived() {
  if (board().sock.load() < 0) return 0;
  if (rx_avail() == 0 && !board().readout.resync && rx_pull_now() != RxStatus::Ok) return 0;
  // A frame partly here has its rest on the way at link speed.
  constexpr auto kRestOfFrame = std::chrono::milliseconds(20);
  int dropped = 0;
  for (int guard = 0; (rx_avail() > 0 || board().readout.resync) && guard < 100000; ++guard) {
    FrameRead fr = read_frame(ReadKind::Single, true, nullptr, Clock::now() + kRestOfFrame);
    if (fr.status != 0) {
      if (fr.outcome == BoardReadStatus::BadFrame) continue;
      break;
    }
    if (!fr.oversized) rx_consume(kHeaderBytes + 4 * std::size_t(fr.n));
    ++dropped;
    if (rx_avail() == 0) rx_pull_now();
  }
  return dropped;
}

int easiroc_singleADCevent(unsigned int* retData) {
  FrameRead fr = read_frame(ReadKind::Single, board().EndADC.load() == 1, nullptr);
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
  if (require_connection("easiroc_singleADCstop")) stop_and_drain(board().sock.load(), 0, 0, nullptr);
  con_printf("\nEnd ADC\n");
  return 0;
}

int ADCOneCycle_wHeader_ver2(SOCKET socket, std::FILE* file, int stopping) {
  FrameRead fr = read_frame(ReadKind::Cycle, stopping != 0, stopping ? nullptr : &board().ForceStop);
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
  if (!stopping && want_dump()) {
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
  if (board().EndADC.load() != 1 && file && !board().readout.cycle.writeFailed) {
    if (board().readout.pending.bytes != 0 &&
        (board().readout.pending.data + board().readout.pending.bytes != raw || board().readout.pending.bytes >= kWriteRunBytes))
      flush_pending();
    if (!board().readout.cycle.writeFailed) {
      if (board().readout.pending.bytes == 0) {
        board().readout.pending.file = file;
        board().readout.pending.data = raw;
      }
      board().readout.pending.bytes += bytes;
      ++board().readout.pending.frames;
    }
    if (!board().readout.deferWrites) flush_pending();
  }
  rx_consume(bytes);
  return 0;
}

namespace {

// A new file, never an existing one: a read-out does not overwrite data.
std::FILE* open_readout_file(const char* file_name) {
  std::FILE* file = fopen_new(file_name);
  if (!file && errno == EEXIST) {
    con_printf("ContinuousADC_ver2: %s exists -- not overwritten; choose another file name or "
               "move that file away\n",
               file_name);
    return nullptr;
  }
  if (!file) {
    con_printf("ContinuousADC_ver2: ERROR opneing file %s\n", file_name);
    return nullptr;
  }
  std::setvbuf(file, nullptr, _IOFBF, 1 << 20);
  return file;
}

void begin_readout(const char* file_name, Clock::time_point now) {
  ReadoutState& ro = board().readout;
  ro.cycle = ReadoutState::Cycle{};
  ro.pending = ReadoutState::PendingWrite{};
  rx_set_reuse_hook(flush_pending);
  ro.deferWrites = true;
  ro.cycle.fileName = file_name;
  ro.linkLost = false;
  ro.linkLossSaid = false;
  // ForceStop is not cleared here: a stop asked for while the read-out was
  // being handed to its worker must still stop it. It is cleared at the end.
  ro.line = ReadoutState::ProgressLine{
      now, now + std::chrono::milliseconds(easiroc_settings().progressLineMs), 0, now};
  ro.nextDump = now;
  ro.lastReadoutSeconds = 0;
}

double seconds_since_start() {
  return std::chrono::duration<double>(Clock::now() - board().readout.line.start).count();
}

// The frames read are on disk before the drain, which may take seconds.
void flush_before_drain(std::FILE* file, const char* file_name) {
  flush_pending();
  ReadoutState& ro = board().readout;
  if (std::fflush(file) != 0 && !ro.cycle.writeFailed) {
    con_printf("ContinuousADC_ver2: writing %s failed (%s); read-out stops\n", file_name,
               std::strerror(errno));
    ro.cycle.writeFailed = true;
  }
  ro.lastReadoutSeconds = seconds_since_start();
}

// Cycles until the count, a stop request, a write failure or a lost link;
// returns the cycles done.
long long read_cycles(SOCKET socket, std::FILE* file, const char* file_name, int MaxCycleNum,
                      Clock::time_point* last) {
  ReadoutState& ro = board().readout;
  // A count of 0 or below reads until the operator stops the read-out.
  const bool untilStopped = MaxCycleNum <= 0;
  if (untilStopped)
    con_printf("ContinuousADC_ver2: MaxCycleNum = %d, reading until stopped\n", MaxCycleNum);
  send_raw(socket, EASIROC_START_WORD, "ContinuousADC_ver2");
  pause_us(easiroc_settings().startPauseUs);
  long long cycle = 0;
  while (untilStopped || cycle < MaxCycleNum) {
    ADCOneCycle_wHeader_ver2(socket, file, 0);
    ++cycle;
    if (cycle == MaxCycleNum) flush_pending();  // the last cycle's progress counts it
    if (cycle % 1000 == 0) con_printf("Event # %lld\n", cycle);
    report_progress(cycle, MaxCycleNum, false, false, last);
    if (ro.linkLost) {
      flush_pending();
      con_printf("ContinuousADC_ver2: connection to the board lost after %lld cycles; %lld "
                 "frames in %s\n",
                 cycle, ro.cycle.framesWritten, file_name);
      break;
    }
    const bool stopRequested = board().ForceStop.load() == 1;
    if (cycle == MaxCycleNum || stopRequested || ro.cycle.writeFailed) {
      if (stopRequested)
        con_printf("ContinuousADC_ver2: stop requested after %lld cycles\n", cycle);
      flush_before_drain(file, file_name);
      stop_and_drain(socket, cycle, MaxCycleNum, last);
      break;
    }
  }
  return cycle;
}

// The summary line, the file closed; 0 when every frame reached the file.
int finish_readout(std::FILE* file, const char* file_name, long long cycle, int MaxCycleNum,
                   Clock::time_point* last) {
  ReadoutState& ro = board().readout;
  flush_pending();
  ro.deferWrites = false;
  rx_set_reuse_hook(nullptr);
  if (ro.lastReadoutSeconds <= 0) ro.lastReadoutSeconds = seconds_since_start();
  ro.lastReadout = {ro.cycle.framesWritten, ro.cycle.bytesWritten, ro.lastReadoutSeconds};
  const EasirocReadoutStats& r = ro.lastReadout;
  if (cycle > 0)
    con_printf("Read-out: %lld frames, %.1f MB in %.2f s (%.1f MB/s, %.0f frames/s)\n", r.frames,
               r.bytes / 1e6, r.seconds, r.seconds > 0 ? r.bytes / 1e6 / r.seconds : 0.0,
               r.seconds > 0 ? r.frames / r.seconds : 0.0);
  con_printf("\nEnd ADC\n");
  const bool closeFailed = std::fclose(file) != 0;
  if (closeFailed)
    con_printf("ContinuousADC_ver2: closing %s failed (%s); the file may be incomplete\n",
               file_name, std::strerror(errno));
  report_progress(cycle, MaxCycleNum, false, true, last);
  board().ForceStop = 0;
  return closeFailed || ro.cycle.writeFailed || ro.linkLost ? -1 : 0;
}

}  // namespace

int ContinuousADC_ver2(SOCKET socket, const char* file_name, int MaxCycleNum) {
  if (!require_connection("ContinuousADC_ver2")) return -1;
  std::FILE* file = open_readout_file(file_name);
  if (!file) return -1;
  auto last = Clock::now();
  begin_readout(file_name, last);
  const long long cycle = read_cycles(socket, file, file_name, MaxCycleNum, &last);
  return finish_readout(file, file_name, cycle, MaxCycleNum, &last);
}

EasirocReadoutStats easiroc_last_readout() { return board().readout.lastReadout; }

int easiroc_fDAQ(const char* file_name, int MaxCycleNum) {
  con_printf("easiroc_fDAQ: Starting DAQ with file_name = %s | MaxCycleNum = %d\n", file_name,
             MaxCycleNum);
  return ContinuousADC_ver2(board().sock.load(), file_name, MaxCycleNum) == 0 ? 0 : -1;
}
