// The monitor server on 127.0.0.1: who may bind where, the token, the
// read-only and size rules, and the JSON it builds from the published copy,
// the spectra and the console lines.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <chrono>

#include "http_client.h"
#include "monitor_api.h"
#include "monitor_server.h"
#include "platform.h"
#include "live_histograms.h"
#include "station_snapshot.h"

using mdq::test::http_get;
using mdq::test::http_raw;
using nlohmann::json;

namespace {

struct Served {
  MonitorServer server;
  int port = -1;
  explicit Served(std::string token = {}) {
    MonitorConfig c;
    c.token = std::move(token);
    std::string why;
    EXPECT_TRUE(server.start(c, &why)) << why;
    port = server.port();
  }
};

TEST(MonitorAddress, LoopbackNeedsNoTokenAnythingElseDoes) {
  MonitorConfig c;
  EXPECT_EQ(monitor_config_problem(c), "");  // no address: 127.0.0.1
  for (const char* a : {"127.0.0.1", "127.0.0.2", "::1", "localhost"}) {
    c.address = a;
    EXPECT_EQ(monitor_config_problem(c), "") << a;
  }
  // Only the address text is judged here; nothing is bound or sent.
  for (const char* a : {"0.0.0.0", "::", "192.0.2.1", "198.51.100.7", "::ffff:127.0.0.1"}) {
    c.address = a;
    c.token.clear();
    EXPECT_NE(monitor_config_problem(c), "") << a;
    c.token = "s3cret";
    EXPECT_EQ(monitor_config_problem(c), "") << a;
  }
  c.token.clear();
  for (const char* a : {"lab-pc", "127.0.0.1.5", "", " 127.0.0.1"}) {
    c.address = a;
    if (*a) {
      EXPECT_NE(monitor_config_problem(c), "") << a;
    }
  }
  c.address.clear();
  c.token = "a;b";  // would break the cookie
  EXPECT_NE(monitor_config_problem(c), "");
  c.token = "ok";
  c.port = 70000;
  EXPECT_NE(monitor_config_problem(c), "");
}

TEST(MonitorAddress, BeyondLoopbackWithoutTokenIsRefusedBeforeBinding) {
  MonitorServer s;
  MonitorConfig c;
  c.address = "0.0.0.0";
  std::string why;
  EXPECT_FALSE(s.start(c, &why));
  EXPECT_NE(why.find("--monitor-token"), std::string::npos) << why;
  EXPECT_EQ(s.port(), -1);
}

TEST(MonitorServe, LoopbackWithoutTokenServesPageAndStatus) {
  Served s;
  ASSERT_GT(s.port, 0);
  EXPECT_EQ(s.server.url(), "http://127.0.0.1:" + std::to_string(s.port) + "/");
  const auto page = http_get(s.port, "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<html"), std::string::npos);
  EXPECT_NE(page.header("Content-Type").find("text/html"), std::string::npos);
  const auto st = http_get(s.port, "/api/status");
  ASSERT_EQ(st.status, 200);
  EXPECT_TRUE(json::parse(st.body).contains("state"));
}

TEST(MonitorToken, MissingOrWrongTokenIs401RightTokenAnyWayIs200) {
  Served s("s3cret");
  for (const char* path : {"/", "/api/status", "/api/console", "/api/map",
                           "/api/spectrum?kind=tdc&channel=0"}) {
    EXPECT_EQ(http_get(s.port, path).status, 401) << path;
    EXPECT_EQ(http_get(s.port, path, "Authorization: Bearer s3creT\r\n").status, 401) << path;
  }
  // Same length, last character wrong; a prefix; a longer one.
  for (const char* t : {"s3creu", "s3cre", "s3crett"}) {
    EXPECT_EQ(http_get(s.port, std::string("/api/status?token=") + t).status, 401) << t;
    EXPECT_EQ(http_get(s.port, "/", std::string("Cookie: mdq_monitor=") + t + "\r\n").status, 401);
  }
  EXPECT_EQ(http_get(s.port, "/api/status", "Authorization: Bearer s3cret\r\n").status, 200);
  EXPECT_EQ(http_get(s.port, "/api/status", "Authorization: Basic s3cret\r\n").status, 401);

  // The token once in the query sets a cookie that is then enough.
  const auto first = http_get(s.port, "/?token=s3cret");
  ASSERT_EQ(first.status, 200);
  const std::string cookie = first.header("Set-Cookie");
  ASSERT_EQ(cookie.rfind("mdq_monitor=s3cret;", 0), 0u) << cookie;
  EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
  EXPECT_EQ(http_get(s.port, "/api/status", "Cookie: other=1; mdq_monitor=s3cret\r\n").status,
            200);
}

TEST(MonitorSafety, NothingButGetAndHeadAndNoBody) {
  Served s;
  snapshot_reset();
  const auto before = snapshot_read().published;
  for (const char* m : {"POST", "PUT", "DELETE", "PATCH"}) {
    const auto r = http_raw(s.port, std::string(m) +
                                        " /api/status HTTP/1.1\r\nHost: x\r\nContent-Length: "
                                        "2\r\nConnection: close\r\n\r\n{}");
    EXPECT_EQ(r.status, 405) << m;
  }
  const auto head = http_raw(s.port, "HEAD /api/status HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(snapshot_read().published, before);
}

TEST(MonitorSafety, PathTraversalIsRefused) {
  Served s;
  for (const char* target :
       {"/../../../../etc/passwd", "/api/../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd",
        "/..%2f..%2fetc%2fpasswd", "/api/status/../../../etc/passwd", "//etc/passwd",
        "/api%5c..%5c..%5cetc%5cpasswd", "/etc/passwd"}) {
    const auto r = http_get(s.port, target);
    EXPECT_GE(r.status, 400) << target;
    EXPECT_LT(r.status, 500) << target;
    EXPECT_EQ(r.body.find("root:"), std::string::npos) << target;
  }
}

TEST(MonitorSafety, OversizedRequestsAreRefusedAndTheServerGoesOn) {
  Served s;
  const std::string longTarget = "/api/status?x=" + std::string(100000, 'a');
  const auto uri = http_get(s.port, longTarget);
  EXPECT_TRUE(uri.status == 414 || uri.status == 400) << uri.status;
  const auto hdr = http_get(s.port, "/api/status", "X-Big: " + std::string(100000, 'b') + "\r\n");
  EXPECT_TRUE(hdr.status == 400 || hdr.status == 431 || hdr.status == 0) << hdr.status;
  std::string many;
  for (int i = 0; i < 2000; ++i) many += "X-H" + std::to_string(i) + ": v\r\n";
  const auto count = http_get(s.port, "/api/status", many);
  EXPECT_NE(count.status, 200);
  // A body far past the limit is not read in, whatever the method.
  const auto body = http_raw(
      s.port, "GET /api/status HTTP/1.1\r\nHost: x\r\nContent-Length: 10000000\r\nConnection: "
              "close\r\n\r\n" + std::string(4096, 'c'),
      std::chrono::milliseconds(4000));
  EXPECT_EQ(body.status, 413);
  // A body on a GET is not skipped into a second request on the same connection.
  const std::string inner = "GET /api/status HTTP/1.1\r\nHost: x\r\n\r\n";
  const auto smuggled = http_raw(s.port, "GET /api/console HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                                             std::to_string(inner.size()) + "\r\n\r\n" + inner,
                                 std::chrono::milliseconds(3000));
  EXPECT_EQ(smuggled.status, 413);
  EXPECT_EQ(smuggled.raw.find("HTTP/1.1", 5), std::string::npos) << smuggled.raw;
  EXPECT_EQ(http_get(s.port, "/api/status").status, 200);
}

TEST(MonitorApi, StatusJsonCarriesThePublishedCopy) {
  snapshot_reset();
  snapshot_update([](StationSnapshot& s) {
    s.running = true;
    s.state = "running";
    s.ix = 3;
    s.iy = 1;
    s.nx = 5;
    s.ny = 2;
    s.readOuts = 1234;
    s.saved = 1200;
    s.pairing.checked = 1230;
    s.pairing.mismatches = 2;
    s.biasSetV = 56.5;
    s.biasDac = 40000;
    s.boardLink = -2;
    s.freeBytes = 5'000'000'000;
  });
  const json j = status_json(snapshot_read());
  EXPECT_EQ(j["published"], 1);
  EXPECT_EQ(j["position"]["ix"], 3);
  EXPECT_EQ(j["position"]["ny"], 2);
  EXPECT_EQ(j["read_out"], 1234);
  EXPECT_EQ(j["saved"], 1200);
  EXPECT_EQ(j["pairing"]["checked"], 1230);
  EXPECT_EQ(j["pairing"]["mismatches"], 2);
  EXPECT_DOUBLE_EQ(j["bias"]["set_v"].get<double>(), 56.5);
  EXPECT_TRUE(j["bias"]["read_v"].is_null());  // never read back: not 0, not NaN
  EXPECT_EQ(j["board_link"], "lost");
  EXPECT_EQ(j["crate"], "closed");
  EXPECT_EQ(j["free_bytes"], 5'000'000'000LL);
  EXPECT_NO_THROW({
    const json parsed = json::parse(j.dump());
    (void)parsed;
  });
}

TEST(MonitorApi, SpectrumIsTheSnapshotDecimatedOverTheAskedRange) {
  spectra_clear();
  for (int i = 0; i < 7; ++i) spectrum_add(dtdc[5][1][8000]);
  for (int i = 0; i < 3; ++i) spectrum_add(dtdc[5][1][8100]);
  spectrum_add(dtdc[5][0][100]);  // the other range: not in this one
  Served s;
  const auto r = http_get(s.port, "/api/spectrum?kind=tdc&channel=5&range=1&columns=400");
  ASSERT_EQ(r.status, 200) << r.body;
  const json all = json::parse(r.body);
  EXPECT_EQ(all["entries"], 10);
  EXPECT_EQ(all["filled"][0], 8000);
  EXPECT_EQ(all["filled"][1], 8100);
  double peak = 0;
  for (const auto& y : all["y"]) peak = std::max(peak, y.get<double>());
  EXPECT_EQ(peak, 7);  // min/max decimation keeps the one-bin spike
  EXPECT_LE(all["x"].size(), 2u * 400 + 4);

  const json zoom = json::parse(
      http_get(s.port, "/api/spectrum?kind=tdc&channel=5&range=1&lo=7990&hi=8050&columns=400")
          .body);
  EXPECT_EQ(zoom["entries"], 7);
  EXPECT_TRUE(zoom["full_resolution"].get<bool>());
  for (const auto& x : zoom["x"]) {
    EXPECT_GE(x.get<double>(), 7989);
    EXPECT_LE(x.get<double>(), 8051);
  }
  for (const char* bad :
       {"kind=tof&channel=0", "kind=tdc", "kind=tdc&channel=32", "kind=tdc&channel=-1",
        "kind=tdc&channel=1x", "kind=adc&channel=0&lo=5000&hi=5001", "kind=tdc&channel=0&lo=9",
        "kind=tdc&channel=0&lo=9&hi=8", "kind=tdc&channel=0&range=2",
        "kind=tdc&channel=0&columns=100000"})
    EXPECT_EQ(http_get(s.port, std::string("/api/spectrum?") + bad).status, 400) << bad;
  spectra_clear();
}

// However many watch, a spectrum is copied at most twice a second; a
// watcher sees new counts within that.
TEST(MonitorApi, SpectrumAnswersAreSharedForHalfASecond) {
  spectra_clear();
  spectrum_add(dadc[2][0][300]);
  Served s;
  const std::string target = "/api/spectrum?kind=adc&channel=2";
  auto entries = [&] { return json::parse(http_get(s.port, target).body)["entries"].get<int>(); };
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(entries(), 1);
  spectrum_add(dadc[2][0][301]);
  const int again = entries();
  if (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(400)) {
    EXPECT_EQ(again, 1);
  }
  const auto deadline = t0 + std::chrono::seconds(3);
  int seen = again;
  while (seen != 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    seen = entries();
  }
  EXPECT_EQ(seen, 2);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(450));
  spectra_clear();
}

TEST(MonitorApi, ConsoleKeepsTheNewest200LinesInOrder) {
  con_history_enable(200);
  std::uint64_t start = 0;
  (void)con_history_since(~0ull, &start);
  for (int i = 0; i < 250; ++i) con_printf("line %d\n", i);
  con_write("half ");
  Served s;
  const json all = json::parse(http_get(s.port, "/api/console?since=" + std::to_string(start)).body);
  ASSERT_EQ(all["lines"].size(), 200u);
  EXPECT_EQ(all["lines"][0]["text"], "line 50");
  EXPECT_EQ(all["lines"][199]["text"], "line 249");
  EXPECT_EQ(all["next"], start + 250);
  con_write("a line\nand more\n");
  const json more = json::parse(
      http_get(s.port, "/api/console?since=" + std::to_string(all["next"].get<std::uint64_t>()))
          .body);
  ASSERT_EQ(more["lines"].size(), 2u);
  EXPECT_EQ(more["lines"][0]["text"], "half a line");
  EXPECT_EQ(more["lines"][1]["seq"], start + 252);
  EXPECT_EQ(http_get(s.port, "/api/console?since=x").status, 400);
  // Bytes that are not UTF-8 still give valid JSON.
  con_write("bad \xff\xfe byte\n");
  const auto bad = http_get(s.port, "/api/console?since=" + std::to_string(start + 252));
  ASSERT_EQ(bad.status, 200);
  EXPECT_EQ(json::parse(bad.body)["lines"].size(), 1u);
  con_history_enable(0);
  EXPECT_TRUE(con_history_since(0).empty());
}

TEST(MonitorApi, MapParametersAreChecked) {
  Served s;
  EXPECT_EQ(http_get(s.port, "/api/map?channel=3&quantity=mean_tdc").status, 200);
  EXPECT_EQ(http_get(s.port, "/api/map?channel=32").status, 400);
  EXPECT_EQ(http_get(s.port, "/api/map?quantity=rm%20-rf").status, 400);
}

}  // namespace
