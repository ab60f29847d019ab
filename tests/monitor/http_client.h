// A raw HTTP/1.1 client for the monitor tests: sends exactly the bytes
// given (no normalising of paths), reads until the server closes or the
// time is up. Loopback only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace mdq::test {

struct HttpReply {
  int status = 0;  // 0: no status line (refused, closed, timed out)
  std::string head, body;
  std::string raw;  // every byte the server sent
  std::string header(const std::string& name) const {
    std::string lower_head;
    for (char c : head) lower_head += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string key = "\r\n";
    for (char c : name) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    key += ":";
    const auto at = lower_head.find(key);
    if (at == std::string::npos) return {};
    auto from = at + key.size();
    while (from < head.size() && head[from] == ' ') ++from;
    return head.substr(from, head.find("\r\n", from) - from);
  }
};

inline int connect_loopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline HttpReply http_raw(int port, const std::string& request,
                          std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  HttpReply r;
  const int fd = connect_loopback(port);
  if (fd < 0) return r;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto left_ms = [&] {
    return static_cast<int>(std::max<long long>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now())
               .count()));
  };
  std::size_t sent = 0;
  while (sent < request.size() && left_ms() > 0) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, left_ms()) <= 0) break;
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server may refuse before reading it all
    sent += static_cast<std::size_t>(n);
  }
  std::string all;
  char buf[16384];
  while (left_ms() > 0) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, left_ms()) <= 0) break;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    all.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  r.raw = all;
  const auto end = all.find("\r\n\r\n");
  if (all.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return r;
  r.status = std::atoi(all.c_str() + 9);
  r.head = all.substr(0, end);
  r.body = all.substr(end + 4);
  return r;
}

// A GET with Connection: close and any extra header lines ("Name: value\r\n").
inline HttpReply http_get(int port, const std::string& target, const std::string& extra = {}) {
  return http_raw(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra +
                            "Connection: close\r\n\r\n");
}

}  // namespace mdq::test
