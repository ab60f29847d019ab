// Per-position sums of a scan: for every grid cell and channel the count,
// sum and sum of squares of the TDC value and of the ADC values of both
// gain ranges, the events decoded and saved there, and the fitted peak
// positions once the position is done. No spectra are kept per position, so
// a 100 x 100 grid costs a few tens of MB at most.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "peaks.h"

struct ScanGrid {
  int nx = 0, ny = 0;
  int x0 = 0, dx = 0, y0 = 0, dy = 0;
  int cells() const { return nx > 0 && ny > 0 ? nx * ny : 0; }
  int xset(int ix) const { return x0 + ix * dx; }
  int yset(int iy) const { return y0 + iy * dy; }
};

struct Moments {
  std::uint64_t n = 0;
  double sum = 0, sum2 = 0;
  void add(double v) {
    ++n;
    sum += v;
    sum2 += v * v;
  }
  // Counts `v` when `take`, without a branch: which channels of an event
  // have values is random, and mispredicted branches cost the run more than
  // the sums themselves.
  void add_if(bool take, std::uint32_t v) {
    const double x = static_cast<double>(v & (0u - static_cast<std::uint32_t>(take)));
    n += take;
    sum += x;
    sum2 += x * x;
  }
  double mean() const { return n ? sum / static_cast<double>(n) : NAN; }
  double rms() const {
    if (!n) return NAN;
    const double m = mean();
    return std::sqrt(std::max(0.0, sum2 / static_cast<double>(n) - m * m));
  }
};

enum class MapQuantity {
  EventsSaved = 0,
  MeanTdc = 1,
  MeanAdc0 = 2,
  MeanAdc1 = 3,
  PeakTdc = 4,  // fitted peak position, once the position's spectra are fitted
  PeakAdc0 = 5,
  PeakAdc1 = 6,
};
constexpr int kMapQuantities = 7;
const char* map_quantity_name(MapQuantity q);  // "events_saved", "mean_tdc", ...

// The per-event values the run keeps, by channel, 0 meaning "none".
using EventTdc = std::array<std::uint32_t, 32>;
using EventAdc = std::array<std::array<std::uint32_t, 2>, 32>;  // [ch] = {gain 0, gain 1}

class ScanMap {
 public:
  // Larger grids are not mapped (the sums would take too much memory).
  static constexpr int kMaxCells = 40000;

  struct Cell {
    bool visited = false;
    int xset = 0, yset = 0;
    std::uint64_t events = 0, saved = 0;
    std::array<Moments, 32> tdc, adc0, adc1;
    // Fitted peak positions (TDC, ADC gain 0, gain 1); NaN until fitted or
    // when the fit failed.
    PositionPeaks peak = no_peaks();
  };
  static PositionPeaks no_peaks();

  // Starts an empty map of the grid. False (map empty) when the grid has no
  // cells or more than kMaxCells.
  bool reset(const ScanGrid& g);
  // Following events belong to this cell (outside the grid: dropped).
  void position(int ix, int iy, int xset, int yset);
  // One decoded event of the run; `saved` when it went into the run file.
  // TDC values past 16 bits are not counted, as in the spectra.
  void event(const EventTdc& tdc, const EventAdc& adc, bool saved);
  // One event record read back from a run file (every stored event was saved).
  void stored_event(const std::array<std::uint16_t, 64>& data);

  // The fitted peaks of a cell, as long as the map has not been reset since
  // `generation` was read (a late fit of an earlier run is dropped).
  void set_peaks(int ix, int iy, unsigned generation, const PositionPeaks& peaks);
  unsigned generation() const;

  ScanGrid grid() const;
  // Row-major (iy * nx + ix) values of a quantity for a channel; NaN where a
  // cell was not visited or has no value.
  std::vector<double> values(int channel, MapQuantity q) const;
  Cell cell(int ix, int iy) const;  // a copy; unvisited when outside the grid
  bool empty() const;

  // Header "ix,iy,xset,yset,channel,quantity,value", one row per visited
  // cell. Written whole or not at all. 0, or -1 with *why set.
  int export_csv(const std::string& path, int channel, MapQuantity q, std::string* why) const;

 private:
  mutable std::mutex m_;
  ScanGrid g_;
  std::vector<Cell> cells_;
  int cur_ = -1;
  unsigned gen_ = 0;
};

// Two maps agree cell by cell and channel by channel in the quantities a
// run file keeps (events saved, TDC and ADC gain 0 sums). Empty when they
// do, else the first difference.
std::string scan_map_difference(const ScanMap& a, const ScanMap& b);
