// TCP link to the board and the register-write protocol.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "easiroc.h"
#include "easiroc_internal.h"
#include "platform.h"
#include "board_link.h"

using namespace easiroc;

namespace easiroc {
Board g_board;
}  // namespace easiroc

namespace {

// Large enough that one receive call usually takes several frames at once.
constexpr std::size_t kRxCapacity = RxBuffer::kCapacity;
constexpr int kRecvSliceUs = 5000;

void before_reuse() {
  if (board().rx.beforeReuse) board().rx.beforeReuse();
}

}  // namespace

EasirocSettings& easiroc_settings() { return board().settings; }
void easiroc_reset_settings() { board().settings = EasirocSettings{}; }

namespace easiroc_detail {

Clock::time_point recv_deadline() {
  return Clock::now() + std::chrono::milliseconds(std::max(0, board().settings.recvTimeoutMs));
}

std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

void pause_us(long long usec) {
  if (usec <= 0) return;
  timespec ts{time_t(usec / 1000000), long(usec % 1000000) * 1000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::size_t rx_avail() { return board().rx.tail - board().rx.head; }
const std::uint8_t* rx_data() { return board().rx.buf.data() + board().rx.head; }
void rx_consume(std::size_t n) {
  board().rx.head += std::min(n, rx_avail());
  if (board().rx.head == board().rx.tail && !board().rx.beforeReuse) board().rx.head = board().rx.tail = 0;
}
void rx_reset() {
  before_reuse();
  board().rx.head = board().rx.tail = 0;
}
void rx_set_reuse_hook(void (*hook)()) { board().rx.beforeReuse = hook; }
int rx_last_error() { return board().rx.lastError; }

RxStatus rx_fill(std::size_t n, Clock::time_point deadline, const std::atomic<int>* abort) {
  int fd = board().sock.load();
  if (n > kRxCapacity) n = kRxCapacity;
  while (rx_avail() < n) {
    if (fd < 0) {
      board().rx.lastError = EBADF;
      return RxStatus::Error;
    }
    if (kRxCapacity - board().rx.tail < kRxCapacity / 4 && board().rx.head > 0) {
      before_reuse();
      std::memmove(board().rx.buf.data(), rx_data(), rx_avail());
      board().rx.tail -= board().rx.head;
      board().rx.head = 0;
    }
    if (abort && abort->load()) return RxStatus::Aborted;
    // A blocking receive, cut into short slices by the socket's receive
    // time-out so that the deadline and a stop request are looked at; one
    // system call per arrival keeps the read-out as cheap as a bare loop.
    ssize_t got = recv(fd, board().rx.buf.data() + board().rx.tail, kRxCapacity - board().rx.tail, 0);
    if (got > 0) {
      board().rx.tail += std::size_t(got);
      continue;
    }
    if (got == 0) return RxStatus::Closed;
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      board().rx.lastError = errno;
      return RxStatus::Error;
    }
    if (Clock::now() >= deadline) {
      board().rx.lastError = EAGAIN;
      return RxStatus::Timeout;
    }
  }
  return RxStatus::Ok;
}

RxStatus rx_pull_now() {
  const int fd = board().sock.load();
  if (fd < 0) return RxStatus::Error;
  bool got_any = false;
  while (board().rx.tail < kRxCapacity) {
    ssize_t got = recv(fd, board().rx.buf.data() + board().rx.tail, kRxCapacity - board().rx.tail, MSG_DONTWAIT);
    if (got > 0) {
      board().rx.tail += std::size_t(got);
      got_any = true;
      continue;
    }
    if (got == 0) return got_any ? RxStatus::Ok : RxStatus::Closed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return got_any ? RxStatus::Ok : RxStatus::Timeout;
    board().rx.lastError = errno;
    return got_any ? RxStatus::Ok : RxStatus::Error;
  }
  return RxStatus::Ok;
}

int send_all(int fd, const void* data, std::size_t n, Clock::time_point deadline) {
  auto p = static_cast<const std::uint8_t*>(data);
  while (n > 0) {
    if (fd < 0) {
      errno = EBADF;
      return -1;
    }
    ssize_t sent = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      p += sent;
      n -= std::size_t(sent);
      continue;
    }
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    auto now = Clock::now();
    if (now >= deadline) {
      errno = ETIMEDOUT;
      return -1;
    }
    pollfd pf{fd, POLLOUT, 0};
    poll(&pf, 1, int(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count()));
  }
  return 0;
}

int send_word(int fd, std::uint32_t word) {
  unsigned char b[4];
  easiroc_register_bytes(word, b);
  return send_all(fd, b, 4, recv_deadline());
}

}  // namespace easiroc_detail

using namespace easiroc_detail;

void easiroc_register_bytes(unsigned int data, unsigned char out[4]) {
  out[0] = data & 0xFF;
  out[1] = (data >> 8) & 0xFF;
  out[2] = (data >> 16) & 0xFF;
  out[3] = (data >> 24) & 0xFF;
}

void easiroc_usleep(long long usec) { pause_us(usec); }

bool easiroc_Connected() { return board().sock.load() >= 0; }

static void close_connection() {
  int fd = board().sock.exchange(INVALID_SOCKET);
  if (fd >= 0) close(fd);
  rx_reset();
}

int easiroc_Connect(const char* SiTCP_MASTER_IP) {
  con_printf("easiroc_Init --> Start.\n");
  if (board().sock.load() >= 0) {
    con_printf("easiroc_Init: closing the previous board connection first\n");
    close_connection();
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(std::uint16_t(board_link().tcpPort));
  if (!SiTCP_MASTER_IP || inet_pton(AF_INET, SiTCP_MASTER_IP, &addr.sin_addr) != 1) {
    con_printf("easiroc_Init: \"%s\" is not a dotted-quad IPv4 address\n",
               SiTCP_MASTER_IP ? SiTCP_MASTER_IP : "(null)");
    con_printf("SiTCP Master :: Connection fail\n");
    return -1;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    con_printf("Error: easiroc_Init::sock = %d\n", fd);
    return -1;
  }
  // The receive time-out is kept by the receive loop's deadline; the socket's
  // own time-out only slices the wait.
  timeval tv{0, kRecvSliceUs};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  // Connect with a time-out so that an unplugged board does not freeze the
  // panel for the system's minutes-long connect time-out.
  int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int result = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  int err = 0;
  if (result < 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int r;
    do {
      r = poll(&p, 1, std::max(1, board().settings.connectTimeoutMs));
    } while (r < 0 && errno == EINTR);
    socklen_t len = sizeof err;
    if (r == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
      result = 0;
    else
      err = r == 0 ? ETIMEDOUT : err;
  } else if (result < 0) {
    err = errno;
  }
  fcntl(fd, F_SETFL, flags);
  if (result < 0) result = -1;
  con_printf("easiroc_Init::connect = %d\n", result);
  if (result < 0) {
    if (err) con_printf("easiroc_Init: %s\n", std::strerror(err));
    con_printf("SiTCP Master :: Connection fail\n");
    close(fd);
    return -1;
  }
  rx_reset();
  board().sock.store(fd);
  con_printf("SiTCP Master :: Connection Done\n\n");
  return 0;
}

int WriteData(SOCKET socket, unsigned int data) {
  if (socket < 0) {
    con_printf("WriteData: no board connection (connect first)\n");
    return -1;
  }
  data += EASIROC_WRITE_FLAG;
  unsigned char b[4];
  easiroc_register_bytes(data, b);
  if (send_all(socket, b, 4, recv_deadline()) != 0) {
    con_printf("send failed: %d\n", errno);
    return -1;
  }
  pause_us(board().settings.ackPauseUs);
  RxStatus st = rx_fill(1, recv_deadline());
  if (st == RxStatus::Closed) {
    con_printf("Connection closed\n");
    return -1;
  }
  if (st != RxStatus::Ok) {
    con_printf("recv failed: %d\n", rx_last_error());
    return -1;
  }
  // The acknowledgement is up to 4 bytes; take the rest of a split one so
  // it cannot be mistaken for the start of the next reply.
  if (rx_avail() < 4)
    rx_fill(4, Clock::now() + std::chrono::milliseconds(std::min(20, board().settings.recvTimeoutMs)));
  rx_consume(std::min<std::size_t>(4, rx_avail()));
  con_printf(".");
  return 0;
}

void easiroc_Close(void) {
  close_connection();
  con_printf("easiroc_Close -> Done.\n");
}
