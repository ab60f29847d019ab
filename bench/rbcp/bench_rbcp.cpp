// One RBCP register read over loopback against the responder, next to a
// bare UDP echo of the same 9 bytes on the same socket pair. The framing
// (queue drain, header checks, register file) should add little to the
// round trip the kernel costs anyway.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "backend.h"
#include "rbcp_responder.h"
#include "sitcp.h"
#include "board_link.h"

namespace {

using clock_type = std::chrono::steady_clock;

mdq::sim::RbcpResponder& responder() {
  static mdq::sim::RbcpResponder r;
  return r;
}

sockaddr_in g_board{};

void setup_link() {
  static bool done = false;
  if (done) return;
  done = true;
  if (responder().start(0) != 0) {
    std::fprintf(stderr, "cannot start the RBCP responder on 127.0.0.1\n");
    std::exit(1);
  }
  board_link().address = "127.0.0.1";
  board_link().udpPort = responder().port();
  sitcp_settings().replyTimeout = std::chrono::milliseconds(1000);
  mdq::platform::ConsoleCapture quiet;
  SiTCPSetIPPort(board_link().host(), 24, responder().port());
  SiTCPCreateUDPSock();
  g_board.sin_family = AF_INET;
  g_board.sin_port = htons(responder().port());
  g_board.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
}

// The bare round trip: send, wait, receive; no framing, no checks.
bool bare_echo() {
  static const unsigned char req[9] = {0xFF, 0xC0, 0x04, 0x01, 0, 0, 0, 0x04, 0};
  unsigned char buf[1024];
  const int fd = SiTCPGetUDPSock();
  if (sendto(fd, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&g_board), sizeof g_board) < 0)
    return false;
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 1000) != 1) return false;
  return recvfrom(fd, buf, sizeof buf, 0, nullptr, nullptr) == 9;
}

bool rbcp_read() { return Senderudp_recv(0x04, 0) >= 0; }

struct Stats {
  double median = 0, p99 = 0;
};

Stats stats(std::vector<double>& us) {
  Stats s;
  if (us.empty()) return s;
  std::sort(us.begin(), us.end());
  s.median = us[us.size() / 2];
  s.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  return s;
}

template <class F>
double timed_us(F f, benchmark::State& state) {
  const auto t0 = clock_type::now();
  if (!f()) state.SkipWithError("round trip failed");
  return std::chrono::duration<double, std::micro>(clock_type::now() - t0).count();
}

void report(benchmark::State& state, const char* name, std::vector<double>& us) {
  const Stats s = stats(us);
  state.counters[std::string(name) + "_median_us"] = s.median;
  state.counters[std::string(name) + "_p99_us"] = s.p99;
}

void BM_UdpEcho(benchmark::State& state) {
  setup_link();
  responder().setEcho(true);
  std::vector<double> us;
  for (auto _ : state) us.push_back(timed_us(bare_echo, state));
  responder().setEcho(false);
  report(state, "echo", us);
}
BENCHMARK(BM_UdpEcho)->MinTime(1.0);

void BM_RbcpRead(benchmark::State& state) {
  setup_link();
  responder().setEcho(false);
  std::vector<double> us;
  for (auto _ : state) us.push_back(timed_us(rbcp_read, state));
  report(state, "rbcp", us);
}
BENCHMARK(BM_RbcpRead)->MinTime(1.0);

Stats g_echo, g_rbcp;

// Both round trips alternately, so that load from other processes on the
// machine falls on both alike; reports the framing's share.
void BM_Interleaved(benchmark::State& state) {
  setup_link();
  std::vector<double> echo, rbcp;
  for (auto _ : state) {
    responder().setEcho(true);
    echo.push_back(timed_us(bare_echo, state));
    responder().setEcho(false);
    rbcp.push_back(timed_us(rbcp_read, state));
  }
  report(state, "echo", echo);
  report(state, "rbcp", rbcp);
  g_echo = stats(echo);
  g_rbcp = stats(rbcp);
  state.counters["median_ratio"] = g_echo.median > 0 ? g_rbcp.median / g_echo.median : 0;
  state.counters["p99_ratio"] = g_echo.p99 > 0 ? g_rbcp.p99 / g_echo.p99 : 0;
}
BENCHMARK(BM_Interleaved)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_echo.median > 0)
    std::printf("RBCP read vs bare UDP echo (interleaved): median %.1f us vs %.1f us (%+.1f%%), "
                "p99 %.1f us vs %.1f us (%+.1f%%)\n",
                g_rbcp.median, g_echo.median, 100.0 * (g_rbcp.median / g_echo.median - 1),
                g_rbcp.p99, g_echo.p99, 100.0 * (g_rbcp.p99 / g_echo.p99 - 1));
  SiTCPclose();
  responder().stop();
  return 0;
}
