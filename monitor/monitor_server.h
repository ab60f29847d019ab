// The read-only monitor: a small HTTP server on its own threads that serves
// the monitor page and its JSON from the published station copy.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

struct MonitorConfig {
  std::string address;  // empty: 127.0.0.1
  int port = 0;         // 0: the system picks one
  std::string token;    // required by the page and API when set
  int threads = 8;      // requests served at once
  std::size_t maxQueued = 32;   // connections waiting beyond that get 503
  int timeoutSeconds = 2;       // per read and per write, and keep-alive idle
  std::size_t maxBodyBytes = 1024;
};

// An IPv4 or IPv6 literal (or "localhost") on this machine's loopback.
bool is_loopback_address(const std::string& address);
// Empty when the configuration may be served, else why not. Anything beyond
// loopback needs a token.
std::string monitor_config_problem(const MonitorConfig& c);

class MonitorServer {
 public:
  MonitorServer();
  ~MonitorServer();
  MonitorServer(const MonitorServer&) = delete;
  MonitorServer& operator=(const MonitorServer&) = delete;

  // Binds and starts serving. False with *why when the configuration is
  // refused or the address cannot be bound.
  bool start(const MonitorConfig& c, std::string* why);
  int port() const;
  // "http://127.0.0.1:PORT/"
  std::string url() const;
  // Processor time its threads have used so far (accepting and serving).
  double cpu_seconds() const;
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The page, as served.
const std::string& monitor_page();
