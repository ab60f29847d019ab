#include "monitor_server.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <httplib.h>
#include <map>
#include <mutex>
#include <thread>

#include "monitor_api.h"
#include "scanmap.h"
#include "live_histograms.h"

using nlohmann::json;

namespace {

constexpr const char* kCookie = "mdq_monitor";
constexpr std::size_t kMaxHeaders = 64;

// Connections beyond what the workers can take are served a quick 503
// instead of piling up; this is how a worker knows.
thread_local bool t_shed = false;

// Processor time the server's threads have used, for its cost to be seen.
class CpuClocks {
 public:
  void add_this_thread() {
    clockid_t id;
    if (pthread_getcpuclockid(pthread_self(), &id) != 0) return;
    std::lock_guard lk(m_);
    ids_.push_back(id);
  }
  void add(std::thread& t) {
    clockid_t id;
    if (pthread_getcpuclockid(t.native_handle(), &id) != 0) return;
    std::lock_guard lk(m_);
    ids_.push_back(id);
  }
  double seconds() const {
    std::lock_guard lk(m_);
    double s = 0;
    for (clockid_t id : ids_) {
      timespec ts{};
      if (clock_gettime(id, &ts) == 0) s += static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
    }
    return s;
  }

 private:
  mutable std::mutex m_;
  std::vector<clockid_t> ids_;
};

class BoundedPool final : public httplib::TaskQueue {
 public:
  BoundedPool(std::size_t threads, std::size_t maxQueued, CpuClocks* clocks)
      : pool_(threads), threads_(threads), maxQueued_(maxQueued), clocks_(clocks) {}
  void enqueue(std::function<void()> fn) override {
    const bool shed = pending_.fetch_add(1) >= threads_ + maxQueued_;
    pool_.enqueue([this, shed, fn = std::move(fn)] {
      thread_local bool counted = false;
      if (!counted) {
        counted = true;
        clocks_->add_this_thread();
      }
      t_shed = shed;
      fn();
      t_shed = false;
      pending_.fetch_sub(1);
    });
  }
  void shutdown() override { pool_.shutdown(); }

 private:
  httplib::ThreadPool pool_;
  std::size_t threads_, maxQueued_;
  std::atomic<std::size_t> pending_{0};
  CpuClocks* clocks_;
};

bool same_secret(const std::string& a, const std::string& b) {
  // Time does not tell how much of a guess was right.
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  const std::size_t n = std::max(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i)
    diff |= static_cast<unsigned char>((i < a.size() ? a[i] : 0) ^ (i < b.size() ? b[i] : 0));
  return diff == 0;
}

std::string cookie_value(const std::string& header, const std::string& name) {
  std::size_t at = 0;
  while (at < header.size()) {
    std::size_t end = header.find(';', at);
    if (end == std::string::npos) end = header.size();
    std::size_t b = at;
    while (b < end && header[b] == ' ') ++b;
    const std::string part = header.substr(b, end - b);
    if (part.size() > name.size() && part.compare(0, name.size(), name) == 0 &&
        part[name.size()] == '=')
      return part.substr(name.size() + 1);
    at = end + 1;
  }
  return {};
}

// Console lines may hold any bytes; JSON must be UTF-8.
std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

void send_json(httplib::Response& res, const json& j, int status = 200) {
  res.status = status;
  res.set_content(dump(j), "application/json");
}

void send_error(httplib::Response& res, int status, const std::string& why) {
  send_json(res, json{{"error", why}}, status);
}

std::optional<std::string> param_of(const httplib::Request& req, const char* name) {
  if (!req.has_param(name)) return std::nullopt;
  return req.get_param_value(name);
}

}  // namespace

bool is_loopback_address(const std::string& address) {
  if (address == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1)
    return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return false;
}

std::string monitor_config_problem(const MonitorConfig& c) {
  if (c.port < 0 || c.port > 65535) return "monitor port out of range (0..65535)";
  const std::string addr = c.address.empty() ? "127.0.0.1" : c.address;
  in_addr v4{};
  in6_addr v6{};
  if (addr != "localhost" && inet_pton(AF_INET, addr.c_str(), &v4) != 1 &&
      inet_pton(AF_INET6, addr.c_str(), &v6) != 1)
    return "monitor address " + addr + " is not an IP address";
  if (!is_loopback_address(addr) && c.token.empty())
    return "monitor address " + addr +
           " is reachable from other machines: give --monitor-token to serve it";
  if (c.token.find_first_of(" ;,\"\r\n\t") != std::string::npos)
    return "monitor token may not hold spaces, quotes, commas or semicolons";
  return {};
}

struct MonitorServer::Impl {
  MonitorConfig cfg;
  std::string host;
  httplib::Server svr;
  std::thread thread;
  int port = -1;
  CpuClocks clocks;

  // Answers that cost something are made once per key and lifetime however
  // many watch: a spectrum copies up to 65536 bins, and the map's values are
  // computed under its lock, which the run takes per event.
  std::mutex cacheMu;
  struct Cached {
    std::chrono::steady_clock::time_point at;
    std::string body;
  };
  std::map<std::string, Cached> cache;
  static constexpr std::size_t kCacheEntries = 64;

  template <class Make>
  std::string cached(const std::string& key, std::chrono::milliseconds life, Make make) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lk(cacheMu);
    auto it = cache.find(key);
    if (it != cache.end() && now - it->second.at < life) return it->second.body;
    if (it == cache.end() && cache.size() >= kCacheEntries) {
      auto oldest = cache.begin();
      for (auto i = cache.begin(); i != cache.end(); ++i)
        if (i->second.at < oldest->second.at) oldest = i;
      cache.erase(oldest);
    }
    Cached& c = cache[key];
    c.body = make();
    c.at = now;
    return c.body;
  }

  bool authorised(const httplib::Request& req, httplib::Response& res) {
    if (cfg.token.empty()) return true;
    const std::string auth = req.get_header_value("Authorization");
    if (auth.rfind("Bearer ", 0) == 0 && same_secret(auth.substr(7), cfg.token)) return true;
    if (same_secret(cookie_value(req.get_header_value("Cookie"), kCookie), cfg.token))
      return true;
    if (req.has_param("token") && same_secret(req.get_param_value("token"), cfg.token)) {
      // Once: the browser keeps it, so links need not carry it.
      res.set_header("Set-Cookie", std::string(kCookie) + "=" + cfg.token +
                                       "; Path=/; HttpOnly; SameSite=Strict");
      return true;
    }
    return false;
  }

  httplib::Server::HandlerResponse gate(const httplib::Request& req, httplib::Response& res) {
    using HR = httplib::Server::HandlerResponse;
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    if (t_shed) {
      res.set_header("Connection", "close");
      send_error(res, 503, "busy");
      return HR::Handled;
    }
    if (req.method != "GET" && req.method != "HEAD") {
      res.set_header("Allow", "GET, HEAD");
      send_error(res, 405, "read-only");
      return HR::Handled;
    }
    if (req.path.find("..") != std::string::npos || req.path.find('\\') != std::string::npos ||
        req.path.find('\0') != std::string::npos) {
      send_error(res, 400, "bad path");
      return HR::Handled;
    }
    // Nothing here takes a body; one announced is refused, not skipped (its
    // bytes would otherwise be read as the next request).
    if (!req.body.empty() || req.has_header("Transfer-Encoding") ||
        (req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0")) {
      res.set_header("Connection", "close");
      send_error(res, 413, "no body expected");
      return HR::Handled;
    }
    if (req.headers.size() > kMaxHeaders) {
      res.set_header("Connection", "close");
      send_error(res, 431, "too many header lines");
      return HR::Handled;
    }
    if (!authorised(req, res)) {
      res.set_header("WWW-Authenticate", "Bearer");
      send_error(res, 401, "token required");
      return HR::Handled;
    }
    return HR::Unhandled;
  }

  void routes() {
    svr.set_pre_routing_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return gate(req, res); });
    svr.Get("/", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("Content-Security-Policy",
                     "default-src 'none'; script-src 'unsafe-inline'; style-src "
                     "'unsafe-inline'; connect-src 'self'; img-src 'self'; frame-ancestors 'none'");
      res.set_content(monitor_page(), "text/html; charset=utf-8");
    });
    svr.Get("/api/status", [](const httplib::Request&, httplib::Response& res) {
      send_json(res, status_json(snapshot_read()));
    });
    svr.Get("/api/spectrum", [this](const httplib::Request& req, httplib::Response& res) {
      SpectrumQuery q;
      std::string why;
      if (!parse_spectrum_query([&](const char* n) { return param_of(req, n); }, &q, &why))
        return send_error(res, 400, why);
      char key[96];
      std::snprintf(key, sizeof key, "s%d/%d/%d/%.0f/%.0f/%d", q.tdc, q.channel, q.range, q.lo,
                    q.hi, q.columns);
      res.set_content(cached(key, std::chrono::milliseconds(500),
                             [&] { return dump(spectrum_json(q)); }),
                      "application/json");
    });
    svr.Get("/api/console", [](const httplib::Request& req, httplib::Response& res) {
      std::uint64_t since = 0;
      if (auto s = param_of(req, "since")) {
        const auto n = parse_int(*s, 0, (1LL << 62));
        if (!n) return send_error(res, 400, "since must be a whole number");
        since = static_cast<std::uint64_t>(*n);
      }
      send_json(res, console_json(since));
    });
    svr.Get("/api/map", [this](const httplib::Request& req, httplib::Response& res) {
      long long channel = 0, quantity = 0;
      if (auto s = param_of(req, "channel")) {
        const auto n = parse_int(*s, 0, kChannels - 1);
        if (!n) return send_error(res, 400, "channel must be 0..31");
        channel = *n;
      }
      if (auto s = param_of(req, "quantity")) {
        quantity = -1;
        for (int k = 0; k < kMapQuantities; ++k)
          if (*s == map_quantity_name(static_cast<MapQuantity>(k))) quantity = k;
        if (quantity < 0) return send_error(res, 400, "unknown quantity");
      }
      const std::string key = "m" + std::to_string(channel) + "/" + std::to_string(quantity);
      res.set_content(cached(key, std::chrono::seconds(1),
                             [&] {
                               return dump(map_json(static_cast<int>(channel),
                                                    static_cast<int>(quantity)));
                             }),
                      "application/json");
    });
  }
};

MonitorServer::MonitorServer() = default;
MonitorServer::~MonitorServer() { stop(); }

bool MonitorServer::start(const MonitorConfig& c, std::string* why) {
  stop();
  if (const std::string p = monitor_config_problem(c); !p.empty()) {
    if (why) *why = p;
    return false;
  }
  auto impl = std::make_unique<Impl>();
  impl->cfg = c;
  impl->host = c.address.empty() || c.address == "localhost" ? "127.0.0.1" : c.address;
  httplib::Server& s = impl->svr;
  const std::size_t threads = static_cast<std::size_t>(std::max(1, c.threads));
  const std::size_t queued = c.maxQueued;
  CpuClocks* clocks = &impl->clocks;
  s.new_task_queue = [threads, queued, clocks] {
    return new BoundedPool(threads, queued, clocks);
  };
  s.set_read_timeout(c.timeoutSeconds, 0);
  s.set_write_timeout(c.timeoutSeconds, 0);
  s.set_keep_alive_timeout(c.timeoutSeconds);
  s.set_keep_alive_max_count(20);
  s.set_payload_max_length(c.maxBodyBytes);
  impl->routes();
  if (c.port == 0) {
    impl->port = s.bind_to_any_port(impl->host);
  } else if (s.bind_to_port(impl->host, c.port)) {
    impl->port = c.port;
  }
  if (impl->port <= 0) {
    if (why) *why = "monitor cannot listen on " + impl->host + ":" + std::to_string(c.port);
    return false;
  }
  Impl* raw = impl.get();
  impl->thread = std::thread([raw] { raw->svr.listen_after_bind(); });
  impl->clocks.add(impl->thread);
  // A stop before the loop runs would be lost (and the join would hang).
  for (int i = 0; i < 400 && !s.is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  impl_ = std::move(impl);
  return true;
}

int MonitorServer::port() const { return impl_ ? impl_->port : -1; }

double MonitorServer::cpu_seconds() const { return impl_ ? impl_->clocks.seconds() : 0; }

std::string MonitorServer::url() const {
  if (!impl_) return {};
  const bool v6 = impl_->host.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + impl_->host + "]" : impl_->host) + ":" +
         std::to_string(impl_->port) + "/";
}

void MonitorServer::stop() {
  if (!impl_) return;
  impl_->svr.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
  impl_.reset();
}
