// The panel's "Read-out to file" at full speed: the handler the button runs
// (a worker reading, the GUI thread live, console and progress on) against
// a bare receive loop over the same emulator's bytes, in the same process.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "backend.h"
#include "board.h"
#include "dispatch.h"
#include "easiroc.h"
#include "mdq_main.h"
#include "mdq_ui.h"
#include "platform.h"
#include "offscreen_panel.h"
#include "stand.h"
#include "board_link.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFrameBytes = 12 + 4 * 64;

mdq::sim::BoardEmulator* g_board = nullptr;

void send_word(int fd, std::uint32_t w) {
  unsigned char b[4] = {std::uint8_t(w), std::uint8_t(w >> 8), std::uint8_t(w >> 16),
                        std::uint8_t(w >> 24)};
  if (send(fd, b, 4, MSG_NOSIGNAL) != 4) std::abort();
}

// Seconds for a bare loop to receive `frames` frames' worth of bytes.
double bare_loop(long frames) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(std::uint16_t(g_board->port()));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::abort();
  std::vector<char> buf(256 * 1024);
  const long long want = (long long)frames * kFrameBytes;
  long long got = 0;
  const auto t0 = Clock::now();
  send_word(fd, EASIROC_START_WORD);
  while (got < want) {
    const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) std::abort();
    got += n;
  }
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  send_word(fd, EASIROC_STOP_WORD1);
  send_word(fd, EASIROC_STOP_WORD2);
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 50) == 1 && recv(fd, buf.data(), buf.size(), 0) > 0) {
  }
  close(fd);
  return s;
}

// Seconds the panel's read-out takes for `frames` frames, from the start word
// to the last frame written (the drain after it is not throughput).
double panel_readout(long frames, const std::string& file, long long* written) {
  std::remove(file.c_str());
  if (easiroc_Connect("127.0.0.1") != 0) std::abort();
  SetCtrlVal(p1h, P1_FILE, file.c_str());
  SetCtrlVal(p1h, P1_NEV, int(frames));
  board_on_daq(P1_ER_DAQ);
  if (!board_wait_readout(120000)) std::abort();
  const double s = easiroc_last_readout().seconds;
  easiroc_Close();
  FILE* f = std::fopen(file.c_str(), "rb");
  *written = 0;
  if (f) {
    std::fseek(f, 0, SEEK_END);
    *written = std::ftell(f);
    std::fclose(f);
  }
  std::remove(file.c_str());
  return s;
}

void BM_PanelReadoutVsBareLoop(benchmark::State& state) {
  const long frames = state.range(0);
  const std::string file = "/tmp/bench_readout_" + std::to_string(getpid()) + ".dat";
  std::vector<double> bare, panel;
  bool whole = true;
  for (auto _ : state) {
    for (int rep = 0; rep < 5; ++rep) {
      long long written = 0;
      if (rep % 2 == 0) {
        bare.push_back(bare_loop(frames));
        panel.push_back(panel_readout(frames, file, &written));
      } else {
        panel.push_back(panel_readout(frames, file, &written));
        bare.push_back(bare_loop(frames));
      }
      whole &= written == (long long)frames * kFrameBytes;
    }
  }
  if (!whole) state.SkipWithError("a read-out file did not hold every frame");
  const double b = *std::min_element(bare.begin(), bare.end());
  const double p = *std::min_element(panel.begin(), panel.end());
  std::sort(bare.begin(), bare.end());
  std::sort(panel.begin(), panel.end());
  state.counters["bare_fps"] = frames / b;
  state.counters["panel_fps"] = frames / p;
  state.counters["panel_MBps"] = frames * double(kFrameBytes) / p / 1e6;
  state.counters["ratio_best"] = b / p;
  state.counters["ratio_median"] = bare[bare.size() / 2] / panel[panel.size() / 2];
  state.counters["target_ratio"] = 0.95;
  state.counters["target_fps"] = 200000;
}
BENCHMARK(BM_PanelReadoutVsBareLoop)->Arg(200000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchpanel::OffscreenPanel panel(argc, argv);
  if (!panel.show()) return 1;
  CmtNewThreadPool(4, &poolHandle);
  mdq::sim::StandOptions options;
  options.board.freeRunRateHz = 0;  // back to back, as fast as it is read
  options.frames = mdq::sim::free_running_source(0, options.board.seed);
  mdq::sim::Stand stand;
  if (!stand.start(options).empty()) return 1;
  g_board = stand.board();
  EasirocSettings& es = easiroc_settings();
  board_link().tcpPort = stand.tcpPort();
  es.recvTimeoutMs = 20;
  es.startPauseUs = 0;  // both loops start at the start word
  // Console output goes where the station's goes; the dump and the progress
  // line stay at the station's defaults.
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  stand.stop();
  CmtDiscardThreadPool(poolHandle);
  return 0;
}
