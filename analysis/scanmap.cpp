#include "scanmap.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

const char* map_quantity_name(MapQuantity q) {
  switch (q) {
    case MapQuantity::EventsSaved: return "events_saved";
    case MapQuantity::MeanTdc: return "mean_tdc";
    case MapQuantity::MeanAdc0: return "mean_adc_gain0";
    case MapQuantity::MeanAdc1: return "mean_adc_gain1";
    case MapQuantity::PeakTdc: return "peak_tdc";
    case MapQuantity::PeakAdc0: return "peak_adc_gain0";
    case MapQuantity::PeakAdc1: return "peak_adc_gain1";
  }
  return "?";
}

PositionPeaks ScanMap::no_peaks() {
  PositionPeaks p;
  for (auto& k : p) k.fill(NAN);
  return p;
}

bool ScanMap::reset(const ScanGrid& g) {
  std::lock_guard lk(m_);
  cur_ = -1;
  ++gen_;
  const bool fits = g.nx > 0 && g.ny > 0 && static_cast<long long>(g.nx) * g.ny <= kMaxCells;
  g_ = fits ? g : ScanGrid{};
  cells_.assign(static_cast<std::size_t>(g_.cells()), Cell{});
  return fits;
}

void ScanMap::position(int ix, int iy, int xset, int yset) {
  std::lock_guard lk(m_);
  if (ix < 0 || iy < 0 || ix >= g_.nx || iy >= g_.ny) {
    cur_ = -1;
    return;
  }
  cur_ = iy * g_.nx + ix;
  Cell& c = cells_[static_cast<std::size_t>(cur_)];
  c.visited = true;
  c.xset = xset;
  c.yset = yset;
}

void ScanMap::event(const EventTdc& tdc, const EventAdc& adc, bool saved) {
  std::lock_guard lk(m_);
  if (cur_ < 0) return;
  Cell& c = cells_[static_cast<std::size_t>(cur_)];
  ++c.events;
  if (saved) ++c.saved;
  for (std::size_t ch = 0; ch < 32; ++ch) {
    const std::uint32_t t = tdc[ch], a0 = adc[ch][0], a1 = adc[ch][1];
    c.tdc[ch].add_if(t - 1u < 65535u, t);  // 1..65535
    c.adc0[ch].add_if(a0 != 0, a0);
    c.adc1[ch].add_if(a1 != 0, a1);
  }
}

void ScanMap::stored_event(const std::array<std::uint16_t, 64>& data) {
  std::lock_guard lk(m_);
  if (cur_ < 0) return;
  Cell& c = cells_[static_cast<std::size_t>(cur_)];
  ++c.events;
  ++c.saved;
  for (std::size_t ch = 0; ch < 32; ++ch) {
    if (data[ch] != 0) c.tdc[ch].add(data[ch]);
    // 12-bit values only, as the spectra take them.
    if (data[32 + ch] != 0 && data[32 + ch] < 4096) c.adc0[ch].add(data[32 + ch]);
  }
}

void ScanMap::set_peaks(int ix, int iy, unsigned generation, const PositionPeaks& peaks) {
  std::lock_guard lk(m_);
  if (generation != gen_ || ix < 0 || iy < 0 || ix >= g_.nx || iy >= g_.ny) return;
  cells_[static_cast<std::size_t>(iy * g_.nx + ix)].peak = peaks;
}

unsigned ScanMap::generation() const {
  std::lock_guard lk(m_);
  return gen_;
}

ScanGrid ScanMap::grid() const {
  std::lock_guard lk(m_);
  return g_;
}

bool ScanMap::empty() const {
  std::lock_guard lk(m_);
  for (const Cell& c : cells_)
    if (c.visited) return false;
  return true;
}

ScanMap::Cell ScanMap::cell(int ix, int iy) const {
  std::lock_guard lk(m_);
  if (ix < 0 || iy < 0 || ix >= g_.nx || iy >= g_.ny) return {};
  return cells_[static_cast<std::size_t>(iy * g_.nx + ix)];
}

namespace {
double cell_value(const ScanMap::Cell& c, int ch, MapQuantity q) {
  if (!c.visited) return NAN;
  const std::size_t k = static_cast<std::size_t>(ch);
  switch (q) {
    case MapQuantity::EventsSaved: return static_cast<double>(c.saved);
    case MapQuantity::MeanTdc: return c.tdc[k].mean();
    case MapQuantity::MeanAdc0: return c.adc0[k].mean();
    case MapQuantity::MeanAdc1: return c.adc1[k].mean();
    case MapQuantity::PeakTdc: return c.peak[0][k];
    case MapQuantity::PeakAdc0: return c.peak[1][k];
    case MapQuantity::PeakAdc1: return c.peak[2][k];
  }
  return NAN;
}
}  // namespace

std::vector<double> ScanMap::values(int channel, MapQuantity q) const {
  std::lock_guard lk(m_);
  std::vector<double> out(cells_.size(), NAN);
  if (channel < 0 || channel >= 32) return out;
  for (std::size_t i = 0; i < cells_.size(); ++i) out[i] = cell_value(cells_[i], channel, q);
  return out;
}

int ScanMap::export_csv(const std::string& path, int channel, MapQuantity q,
                        std::string* why) const {
  std::lock_guard lk(m_);
  if (channel < 0 || channel >= 32) {
    if (why) *why = "no such channel";
    return -1;
  }
  const std::string tmp = path + ".part";
  std::FILE* fp = std::fopen(tmp.c_str(), "w");
  if (!fp) {
    if (why) *why = std::string("cannot create ") + tmp + ": " + std::strerror(errno);
    return -1;
  }
  bool ok = std::fprintf(fp, "ix,iy,xset,yset,channel,quantity,value\n") > 0;
  for (int iy = 0; ok && iy < g_.ny; ++iy)
    for (int ix = 0; ok && ix < g_.nx; ++ix) {
      const Cell& c = cells_[static_cast<std::size_t>(iy * g_.nx + ix)];
      if (!c.visited) continue;
      const double v = cell_value(c, channel, q);
      if (std::isnan(v))
        ok = std::fprintf(fp, "%d,%d,%d,%d,%d,%s,\n", ix, iy, c.xset, c.yset, channel,
                          map_quantity_name(q)) > 0;
      else
        ok = std::fprintf(fp, "%d,%d,%d,%d,%d,%s,%.10g\n", ix, iy, c.xset, c.yset, channel,
                          map_quantity_name(q), v) > 0;
    }
  const int err = errno;
  if (std::fclose(fp) != 0) ok = false;
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    if (why) *why = std::string("writing ") + path + " failed: " + std::strerror(ok ? errno : err);
    std::remove(tmp.c_str());
    return -1;
  }
  return 0;
}

std::string scan_map_difference(const ScanMap& a, const ScanMap& b) {
  const ScanGrid ga = a.grid(), gb = b.grid();
  char buf[200];
  if (ga.nx != gb.nx || ga.ny != gb.ny) {
    std::snprintf(buf, sizeof buf, "grids differ: %dx%d vs %dx%d", ga.nx, ga.ny, gb.nx, gb.ny);
    return buf;
  }
  for (int iy = 0; iy < ga.ny; ++iy)
    for (int ix = 0; ix < ga.nx; ++ix) {
      const ScanMap::Cell ca = a.cell(ix, iy), cb = b.cell(ix, iy);
      if (ca.visited != cb.visited || ca.saved != cb.saved || ca.xset != cb.xset ||
          ca.yset != cb.yset) {
        std::snprintf(buf, sizeof buf, "cell %d,%d: visited %d/%d, saved %llu/%llu", ix, iy,
                      ca.visited, cb.visited, static_cast<unsigned long long>(ca.saved),
                      static_cast<unsigned long long>(cb.saved));
        return buf;
      }
      for (std::size_t ch = 0; ch < 32; ++ch) {
        const Moments* ma[2] = {&ca.tdc[ch], &ca.adc0[ch]};
        const Moments* mb[2] = {&cb.tdc[ch], &cb.adc0[ch]};
        for (int k = 0; k < 2; ++k)
          if (ma[k]->n != mb[k]->n || ma[k]->sum != mb[k]->sum || ma[k]->sum2 != mb[k]->sum2) {
            std::snprintf(buf, sizeof buf, "cell %d,%d channel %zu %s: n %llu/%llu sum %g/%g", ix,
                          iy, ch, k ? "ADC" : "TDC", static_cast<unsigned long long>(ma[k]->n),
                          static_cast<unsigned long long>(mb[k]->n), ma[k]->sum, mb[k]->sum);
            return buf;
          }
      }
    }
  return {};
}
