// The event-frame reader on an arbitrary byte stream from the board.
//
// The input's first byte picks the consumer, the rest is what the board
// sends. It goes through a socket pair standing in for the TCP connection
// (the peer shuts its side after writing, so every receive returns at once)
// behind one well-formed empty frame, which must always be read back first:
// it also brings the reader back in step after the previous input. A first
// byte of 0xFF puts some 250 KB of well-formed frames (how many: byte 1)
// before the rest, so that the fuzzed bytes arrive where the reader's
// receive buffer is compacted and refilled; those frames must come out
// intact.
//
// Checked beyond the sanitizers: results stay in their documented ranges,
// the single-event read never writes past the data words it reports nor at
// all for frames of 100 words or more (the caller's buffer is exactly the
// 100-word event buffer, on the heap so that any overrun is caught), and
// every read ends.
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "easiroc.h"
#include "easiroc_internal.h"

namespace {

constexpr unsigned kCanary = 0xDEADBEEFu;

std::FILE* g_null = nullptr;

void fail(const char* what) {
  std::fprintf(stderr, "fuzz_easiroc_frames: %s\n", what);
  std::abort();
}

void put_le32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Frames of 99 data words, the largest the single-event read copies.
std::vector<std::uint8_t> filler(std::size_t frames) {
  std::vector<std::uint8_t> b(frames * 4 * (NofHeader + 99));
  std::uint8_t* p = b.data();
  for (std::size_t f = 0; f < frames; ++f) {
    std::uint32_t words[NofHeader] = {EASIROC_FRAME_MAGIC, 99, std::uint32_t(f)};
    for (std::uint32_t w : words) put_le32(p, w), p += 4;
    for (std::uint32_t i = 0; i < 99; ++i) put_le32(p, 0x81000000u | i << 16 | i), p += 4;
  }
  return b;
}

// The connection: our end becomes `sock`, the board's end gets the stream.
struct Link {
  int fds[2] = {-1, -1};
  std::size_t sent = 0;  // of the stream, not counting the leading frame
  bool open(const std::uint8_t* data, std::size_t size) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    timeval tv{0, 5000};
    setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int big = 1 << 21;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    std::uint8_t empty[12];
    put_le32(empty, EASIROC_FRAME_MAGIC);
    put_le32(empty + 4, 0);
    put_le32(empty + 8, 0);
    if (send(fds[1], empty, sizeof empty, MSG_DONTWAIT) != sizeof empty) return false;
    while (size > 0) {
      ssize_t n = send(fds[1], data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n <= 0) break;  // buffer full: the rest is not sent
      data += n;
      size -= static_cast<std::size_t>(n);
      sent += static_cast<std::size_t>(n);
    }
    // Our side may still send (start and stop words); the board's says no more.
    shutdown(fds[1], SHUT_WR);
    easiroc_detail::rx_reset();
    easiroc::board().sock.store(fds[0]);
    return true;
  }
  ~Link() {
    easiroc::board().sock.store(INVALID_SOCKET);
    easiroc_detail::rx_reset();
    for (int fd : fds)
      if (fd >= 0) close(fd);
  }
};

void check_single(int r, const unsigned* buf) {
  if (r < -2 || r > 0xFFFF) fail("single read result out of range");
  const int copied = r >= 0 && r < ESRCDATA_WORDS ? r : 0;
  for (int k = copied; k < ESRCDATA_WORDS; ++k)
    if (buf[k] != kCanary) fail("single read wrote past the words it reported");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  EasirocSettings& s = easiroc_settings();
  s.recvTimeoutMs = 20;
  s.ackPauseUs = 0;
  s.streamBytePauseUs = 0;
  s.startPauseUs = 0;
  s.framePauseUs = 0;
  s.frameDump = EasirocSettings::FrameDump::Every;
  s.drainMaxFrames = 55;  // past the repeated stop after 50
  g_null = std::fopen("/dev/null", "wb");
  if (!g_null) fail("cannot open /dev/null");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool longStream = data[0] == 0xFF;
  // The continuous read-out (3) keeps the board's real stop pauses, tens of
  // milliseconds per input: it gets a smaller share.
  static const unsigned kModes[8] = {0, 1, 2, 3, 4, 0, 1, 2};
  const unsigned mode = longStream ? 0 : kModes[data[0] % 8];
  std::vector<std::uint8_t> stream;
  std::size_t fillerFrames = 0;
  if (longStream && size > 1) {
    fillerFrames = 600 + data[1] % 48;
    static const std::vector<std::uint8_t> all = filler(647);
    stream.assign(all.begin(), all.begin() + fillerFrames * 4 * (NofHeader + 99));
    stream.insert(stream.end(), data + 2, data + size);
  } else {
    stream.assign(data + 1, data + size);
  }
  Link link;
  if (!link.open(stream.data(), stream.size())) fail("cannot set up the socket pair");
  fillerFrames = std::min(fillerFrames, link.sent / (4 * (NofHeader + 99)));

  std::unique_ptr<unsigned[]> buf(new unsigned[ESRCDATA_WORDS]);
  auto refill = [&] {
    for (int k = 0; k < ESRCDATA_WORDS; ++k) buf[k] = kCanary;
  };
  refill();
  easiroc::board().EndADC = 0;
  easiroc::board().ForceStop = 0;
  if (easiroc_singleADCevent(buf.get()) != 0) fail("the leading empty frame was not read");
  check_single(0, buf.get());

  // Each successful read takes at least one 12-byte header; each failed one
  // at least one byte, or finds the stream at its end.
  const std::size_t bound = stream.size() + 16;
  switch (mode) {
    case 0:    // acquisition worker: one frame per trigger
    case 1: {  // the same while draining after a stop
      easiroc::board().EndADC = mode == 1 ? 1 : 0;
      int failures = 0;
      for (std::size_t k = 0; k < bound && failures < 3; ++k) {
        refill();
        int r = easiroc_singleADCevent(buf.get());
        check_single(r, buf.get());
        if (k < fillerFrames) {
          if (r != 99) fail("a well-formed filler frame was not read whole");
          for (unsigned i = 0; i < 99; ++i)
            if (buf[i] != (0x81000000u | i << 16 | i)) fail("filler frame data corrupted");
        }
        if (mode == 1 && r == -2) fail("header error reported while draining");
        failures = r < 0 ? failures + 1 : 0;
      }
      easiroc::board().EndADC = 0;
      break;
    }
    case 2: {  // continuous read-out cycles, writing accepted frames
      int failures = 0;
      for (std::size_t k = 0; k < bound && failures < 3; ++k) {
        int r = ADCOneCycle_wHeader_ver2(easiroc::board().sock.load(), g_null, 0);
        if (r != 0 && r != -1) fail("cycle result neither 0 nor -1");
        failures = r < 0 ? failures + 1 : 0;
      }
      break;
    }
    case 3: {  // the whole continuous read-out into a file, then stop and drain
      const int cycles = 1 + static_cast<int>(size % 8);
      int r = ContinuousADC_ver2(easiroc::board().sock.load(), "/dev/null", cycles);
      if (r != 0 && r != -1) fail("continuous read-out result neither 0 nor -1");
      break;
    }
    case 4: {  // frames left over from an earlier run are dropped
      int n = easiroc_discard_pending(1, 200, nullptr).dropped;
      if (n < 0 || static_cast<std::size_t>(n) > stream.size() / 12) fail("more frames dropped than sent");
      break;
    }
  }
  if (easiroc::board().EndADC.load() != 0) fail("EndADC left set");
  return 0;
}
