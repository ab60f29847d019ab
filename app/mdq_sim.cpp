// mdq-sim: the EASIROC board emulator as a stand-alone program on 127.0.0.1.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "board_emulator.h"
#include "rbcp_responder.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

void usage() {
  std::fprintf(stderr,
               "usage: mdq-sim [--tcp-port N] [--udp-port M] [--rate HZ] [--seed S]\n"
               "  --tcp-port N  board TCP port on 127.0.0.1 (0 = chosen by the system; default 0)\n"
               "  --udp-port M  register-access (RBCP) UDP port on 127.0.0.1 (0 = chosen; default 0)\n"
               "  --rate HZ     free-running trigger rate while started (0 = as fast as read; "
               "default 1000)\n");
}

bool parse_number(const char* text, double* out) {
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (!text[0] || *end) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  mdq::sim::BoardEmulator::Options opt;
  opt.port = 0;
  int udpPort = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    double v = 0;
    if ((a == "--tcp-port" || a == "--udp-port" || a == "--rate" || a == "--seed") && i + 1 < argc &&
        parse_number(argv[i + 1], &v)) {
      ++i;
      if (a == "--tcp-port") {
        if (v < 0 || v > 65535) {
          std::fprintf(stderr, "mdq-sim: --tcp-port %s out of range\n", argv[i]);
          return 2;
        }
        opt.port = int(v);
      } else if (a == "--udp-port") {
        if (v < 0 || v > 65535) {
          std::fprintf(stderr, "mdq-sim: --udp-port %s out of range\n", argv[i]);
          return 2;
        }
        udpPort = int(v);
      } else if (a == "--rate") {
        if (v < 0) {
          std::fprintf(stderr, "mdq-sim: --rate must not be negative\n");
          return 2;
        }
        opt.freeRunRateHz = v;
      } else {
        opt.seed = std::uint64_t(v);
      }
    } else if (a == "--help" || a == "-h") {
      usage();
      return 0;
    } else {
      std::fprintf(stderr, "mdq-sim: unknown or incomplete option '%s'\n", argv[i]);
      usage();
      return 2;
    }
  }
  mdq::sim::BoardEmulator board(opt);
  if (!board.start()) return 1;
  mdq::sim::RbcpResponder rbcp;
  if (rbcp.start(static_cast<std::uint16_t>(udpPort)) != 0) {
    std::fprintf(stderr, "mdq-sim: cannot bind UDP port %d on 127.0.0.1\n", udpPort);
    board.stop();
    return 1;
  }
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  std::printf("listening tcp=%d udp=%d\n", board.port(), int(rbcp.port()));
  std::fflush(stdout);
  while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  rbcp.stop();
  board.stop();
  return 0;
}
