#include "monitor_api.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "platform.h"
#include "run_map.h"
#include "live_histograms.h"
#include "stats.h"

using nlohmann::json;

namespace {
// NaN is not JSON: an unknown value is null.
json number_or_null(double v) { return std::isfinite(v) ? json(v) : json(nullptr); }

const char* link_name(int state) {
  return state == 0 ? "up" : state == -2 ? "lost" : "not connected";
}
}  // namespace

json status_json(const StationSnapshot& s) {
  json j;
  j["published"] = s.published;
  j["running"] = s.running;
  j["state"] = s.state;
  j["reason"] = s.reason;
  j["position"] = {{"ix", s.ix}, {"iy", s.iy}, {"nx", s.nx}, {"ny", s.ny},
                   {"begun", s.positions}};
  j["event"] = s.event;
  j["read_out"] = s.readOuts;
  j["saved"] = s.saved;
  j["rate_hz"] = s.rateHz;
  j["status_line"] = s.statusLine;
  const PairingCounts& p = s.pairing;
  j["pairing"] = {{"checked", p.checked},           {"frames_dropped", p.framesDropped},
                  {"mismatches", p.mismatches},     {"multi_trigger", p.multiTrigger},
                  {"late_skipped", p.lateSkipped},  {"vetoed_frames", p.vetoedFrames}};
  j["board_failures"] = s.boardFailures;
  j["bias"] = {{"set_v", number_or_null(s.biasSetV)},
               {"dac", s.biasDac >= 0 ? json(s.biasDac) : json(nullptr)},
               {"read_v", number_or_null(s.biasReadV)}};
  j["board_link"] = link_name(s.boardLink);
  j["crate"] = s.crateOpen ? "open" : "closed";
  j["free_bytes"] = s.freeBytes >= 0 ? json(s.freeBytes) : json(nullptr);
  return j;
}

std::optional<long long> parse_int(const std::string& text, long long lo, long long hi) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  long long v = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (ec != std::errc() || ptr != end || v < lo || v > hi) return std::nullopt;
  return v;
}

bool parse_spectrum_query(const QueryParam& param, SpectrumQuery* q, std::string* why) {
  auto fail = [&](std::string text) {
    if (why) *why = std::move(text);
    return false;
  };
  const auto kind = param("kind");
  if (!kind || (*kind != "tdc" && *kind != "adc")) return fail("kind must be tdc or adc");
  q->tdc = *kind == "tdc";
  const long long bins = q->tdc ? kTdcBins : kAdcBins;
  struct Field {
    const char* name;
    long long lo, hi;
    bool required;
  };
  const Field fields[] = {{"channel", 0, kChannels - 1, true},
                          {"range", 0, 1, false},
                          {"lo", 0, bins - 1, false},
                          {"hi", 0, bins - 1, false},
                          {"columns", 16, 4096, false}};
  long long v[5] = {0, 0, -1, -1, 800};
  for (int i = 0; i < 5; ++i) {
    const auto text = param(fields[i].name);
    if (!text) {
      if (fields[i].required) return fail(std::string("missing ") + fields[i].name);
      continue;
    }
    const auto n = parse_int(*text, fields[i].lo, fields[i].hi);
    if (!n)
      return fail(std::string(fields[i].name) + " must be a whole number in " +
                  std::to_string(fields[i].lo) + ".." + std::to_string(fields[i].hi));
    v[i] = *n;
  }
  if ((v[2] < 0) != (v[3] < 0)) return fail("give both lo and hi, or neither");
  if (v[2] >= 0 && v[3] < v[2]) return fail("hi below lo");
  q->channel = static_cast<int>(v[0]);
  q->range = static_cast<int>(v[1]);
  q->lo = static_cast<double>(v[2]);
  q->hi = static_cast<double>(v[3]);
  q->columns = static_cast<int>(v[4]);
  return true;
}

json spectrum_json(const SpectrumQuery& q) {
  // The worker may be filling the bins: a snapshot, as the panel draws.
  const int n = q.tdc ? kTdcBins : kAdcBins;
  std::vector<std::int32_t> bins(static_cast<std::size_t>(n));
  if (q.tdc)
    spectrum_snapshot(dtdc[q.channel][q.range], bins);
  else
    spectrum_snapshot(dadc[q.channel][q.range], bins);
  const auto [first, last] = filled_range(bins);
  const double lo = q.lo >= 0 ? q.lo : 0;
  const double hi = q.hi >= 0 ? q.hi : n - 1;
  std::vector<DrawPoint> pts;
  const bool full = decimate_range(bins, lo, hi, q.columns, pts);
  const SpectrumStats st = spectrum_stats(
      bins, static_cast<int>(lo), static_cast<int>(hi),
      q.tdc ? tdc_overflow[q.channel].load(std::memory_order_relaxed) : 0);
  json x = json::array(), y = json::array();
  for (const DrawPoint& p : pts) {
    x.push_back(p.x);
    y.push_back(p.y);
  }
  return json{{"kind", q.tdc ? "tdc" : "adc"},
              {"channel", q.channel},
              {"range", q.range},
              {"bins", n},
              {"lo", lo},
              {"hi", hi},
              {"filled", {first, last}},
              {"full_resolution", full},
              {"entries", st.entries},
              {"mean", st.mean},
              {"rms", st.rms},
              {"x", std::move(x)},
              {"y", std::move(y)}};
}

json console_json(std::uint64_t since) {
  std::uint64_t next = 0;
  json lines = json::array();
  for (const ConsoleLine& l : con_history_since(since, &next))
    lines.push_back({{"seq", l.seq}, {"text", l.text}});
  return json{{"next", next}, {"lines", std::move(lines)}};
}

json map_json(int channel, int quantity) {
  const ScanMap& map = shown_scan_map();
  const ScanGrid g = map.grid();
  const auto q = static_cast<MapQuantity>(quantity);
  json values = json::array();
  for (double v : map.values(channel, q)) values.push_back(number_or_null(v));
  const MapSource src = shown_map_source();
  return json{{"nx", g.nx},
              {"ny", g.ny},
              {"x0", g.x0},
              {"dx", g.dx},
              {"y0", g.y0},
              {"dy", g.dy},
              {"channel", channel},
              {"quantity", map_quantity_name(q)},
              {"stored", src.stored},
              {"values", std::move(values)}};
}
