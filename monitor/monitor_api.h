// The monitor's JSON bodies, built from the published station copy, the
// live spectra (atomic bins), the kept console lines and the shown scan map.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <nlohmann/json.hpp>
#include <string>

#include "station_snapshot.h"

nlohmann::json status_json(const StationSnapshot& s);

struct SpectrumQuery {
  bool tdc = true;
  int channel = 0;
  int range = 0;     // gain range / TDC edge set, 0 or 1
  double lo = -1;    // visible bins; lo < 0 or hi < 0: the whole spectrum
  double hi = -1;
  int columns = 800; // pixel columns the client draws on
};
// Parses the query parameters (kind, channel, range, lo, hi, columns).
// False with *why when one is missing, malformed or out of range.
using QueryParam = std::function<std::optional<std::string>(const char* name)>;
bool parse_spectrum_query(const QueryParam& param, SpectrumQuery* q, std::string* why);
// A whole decimal number in [lo, hi]; nothing else (no sign games, no tail).
std::optional<long long> parse_int(const std::string& text, long long lo, long long hi);
nlohmann::json spectrum_json(const SpectrumQuery& q);

nlohmann::json console_json(std::uint64_t since);

// channel 0..31, quantity as MapQuantity (named by map_quantity_name).
nlohmann::json map_json(int channel, int quantity);
