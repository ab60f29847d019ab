// The operator's analysis tools: numbers under the graphs, zoom, peak
// fits and the scan map. All numbers come from analysis/; this file reads
// the panel, asks for them and hands the results to the panel.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "backend.h"
#include "dispatch.h"
#include "display.h"
#include "fit.h"
#include "mdq_ui.h"
#include "platform.h"
#include "replay.h"
#include "run_map.h"
#include "live_histograms.h"
#include "stats.h"
#include "run_state.h"

namespace {

struct Shown {
  int graph;
  const char* name;
  int statsControl;
};
constexpr Shown kTdc{P1_TDC_GRAPH, "TDC", P1_TDC_STATS};
constexpr Shown kAdc{P1_ADC_GRAPH, "ADC", P1_ADC_STATS};

// The spectrum a graph shows, as a snapshot, and its out-of-range counter.
std::vector<std::int32_t> shown_bins(const Shown& s, int* channel, std::uint64_t* overflow) {
  const SpectrumChoice c = chosen_spectra();
  *channel = c.channel;
  std::vector<std::int32_t> bins;
  if (s.graph == P1_TDC_GRAPH) {
    bins.resize(kTdcBins);
    spectrum_snapshot(dtdc[c.channel][c.tdcRange], bins);
    *overflow = c.tdcRange == 0 ? tdc_overflow[c.channel].load(std::memory_order_relaxed) : 0;
  } else {
    bins.resize(kAdcBins);
    spectrum_snapshot(dadc[c.channel][c.adcRange], bins);
    *overflow = 0;
  }
  return bins;
}

// Bins whose centres are in view.
void visible_bins(int graph, int nbins, int* lo, int* hi) {
  int mode = VAL_AUTOSCALE;
  double mn = 0, mx = 0;
  GetAxisScalingMode(p1h, graph, VAL_XAXIS, &mode, &mn, &mx);
  if (mode == VAL_AUTOSCALE) {
    *lo = 0;
    *hi = nbins - 1;
    return;
  }
  *lo = std::clamp(static_cast<int>(std::ceil(mn - 0.5)), 0, nbins - 1);
  *hi = std::clamp(static_cast<int>(std::floor(mx + 0.5)), 0, nbins - 1);
}

void show_stats(const Shown& s) {
  int ch = 0;
  std::uint64_t overflow = 0;
  const std::vector<std::int32_t> bins = shown_bins(s, &ch, &overflow);
  int lo = 0, hi = 0;
  visible_bins(s.graph, static_cast<int>(bins.size()), &lo, &hi);
  SetCtrlVal(p1h, s.statsControl, format_stats(spectrum_stats(bins, lo, hi, overflow)).c_str());
}

// A fit curve belongs to the spectrum it was made on.
struct Fitted {
  bool on = false;
  SpectrumChoice choice;
  std::string line;  // as printed
};
Fitted g_fitted[2];
Fitted& fitted_of(const Shown& s) { return g_fitted[s.graph == P1_TDC_GRAPH ? 0 : 1]; }

void clear_fit(const Shown& s) {
  Fitted& f = fitted_of(s);
  if (!f.on) return;
  PlotOverlay(p1h, s.graph, nullptr, nullptr, 0);
  f.on = false;
}

void unfit() {
  clear_fit(kTdc);
  clear_fit(kAdc);
}

void fit_visible(const Shown& s) {
  int ch = 0;
  std::uint64_t overflow = 0;
  const std::vector<std::int32_t> bins = shown_bins(s, &ch, &overflow);
  int lo = 0, hi = 0;
  visible_bins(s.graph, static_cast<int>(bins.size()), &lo, &hi);
  int bg = 0;
  GetCtrlVal(p1h, P1_FIT_BACKGROUND, &bg);
  const FitResult r = fit_gaussian(bins, lo, hi, bg != 0);
  const std::string line = format_fit(s.name, ch, r);
  con_printf("%s\n", line.c_str());
  if (!r.ok) {
    clear_fit(s);
    return;
  }
  // Over the peak only (or the whole range with a background), finely enough
  // that a narrow peak is smooth.
  const double a = bg ? lo : std::max<double>(lo, r.mean - 5 * r.sigma);
  const double b = bg ? hi : std::min<double>(hi, r.mean + 5 * r.sigma);
  const int n = 400;
  std::vector<double> xs(n), ys(n);
  for (int i = 0; i < n; ++i) {
    xs[static_cast<std::size_t>(i)] = a + (b - a) * i / (n - 1);
    ys[static_cast<std::size_t>(i)] = r.eval(xs[static_cast<std::size_t>(i)]);
  }
  PlotOverlay(p1h, s.graph, xs.data(), ys.data(), xs.size());
  fitted_of(s) = {true, chosen_spectra(), line};
}

MapQuantity shown_quantity() {
  int q = 0;
  GetCtrlVal(p1h, P1_MAP_QUANTITY, &q);
  return static_cast<MapQuantity>(std::clamp(q, 0, kMapQuantities - 1));
}

const char* quantity_label(MapQuantity q) {
  switch (q) {
    case MapQuantity::EventsSaved: return "events saved";
    case MapQuantity::MeanTdc: return "mean TDC";
    case MapQuantity::MeanAdc0: return "mean ADC gain 0";
    case MapQuantity::MeanAdc1: return "mean ADC gain 1";
    case MapQuantity::PeakTdc: return "fitted TDC peak";
    case MapQuantity::PeakAdc0: return "fitted ADC gain 0 peak";
    case MapQuantity::PeakAdc1: return "fitted ADC gain 1 peak";
  }
  return "";
}

void draw_map() {
  mdq::platform::Backend* be = mdq::platform::backend();
  if (!be) return;
  const ScanMap& map = shown_scan_map();
  const ScanGrid g = map.grid();
  const SpectrumChoice c = chosen_spectra();
  const MapQuantity q = shown_quantity();
  int log = 0;
  GetCtrlVal(p1h, P1_MAP_LOG, &log);
  mdq::platform::MapPicture pic;
  pic.nx = g.nx;
  pic.ny = g.ny;
  for (int i = 0; i < g.nx; ++i) pic.xset.push_back(g.xset(i));
  for (int i = 0; i < g.ny; ++i) pic.yset.push_back(g.yset(i));
  pic.values = map.values(c.channel, q);
  pic.log = log != 0;
  const MapSource src = shown_map_source();
  std::string from = src.stored && !src.files.empty() ? src.files.front() : "live run";
  if (const auto slash = from.find_last_of('/'); slash != std::string::npos) from.erase(0, slash + 1);
  pic.title = q == MapQuantity::EventsSaved
                  ? std::string(quantity_label(q)) + " -- " + from
                  : "ch " + std::to_string(c.channel) + ": " + quantity_label(q) + " -- " + from;
  be->showMap(P1_MAP, pic);
}

void after_plots() {
  show_stats(kTdc);
  show_stats(kAdc);
  const SpectrumChoice c = chosen_spectra();
  for (const Shown* s : {&kTdc, &kAdc}) {
    const Fitted& f = fitted_of(*s);
    if (f.on && (f.choice.channel != c.channel || f.choice.tdcRange != c.tdcRange ||
                 f.choice.adcRange != c.adcRange))
      clear_fit(*s);
  }
  draw_map();
}

void on_graph_range(int control) { show_stats(control == P1_TDC_GRAPH ? kTdc : kAdc); }
void on_tdc_fit(int) { fit_visible(kTdc); }
void on_adc_fit(int) { fit_visible(kAdc); }

void on_zoom_reset(int) {
  SetAxisScalingMode(p1h, P1_TDC_GRAPH, VAL_XAXIS, VAL_AUTOSCALE, 0, 0);
  SetAxisScalingMode(p1h, P1_ADC_GRAPH, VAL_XAXIS, VAL_AUTOSCALE, 0, 0);
  show_stats(kTdc);
  show_stats(kAdc);
}

void on_zoom_data(int) {
  for (const Shown* s : {&kTdc, &kAdc}) {
    int ch = 0;
    std::uint64_t overflow = 0;
    const std::vector<std::int32_t> bins = shown_bins(*s, &ch, &overflow);
    const auto [first, last] = filled_range(bins);
    if (first < 0) {
      SetAxisScalingMode(p1h, s->graph, VAL_XAXIS, VAL_AUTOSCALE, 0, 0);
    } else {
      // A margin of a tenth of the filled span either side, at least 5 bins.
      const int margin = std::max(5, (last - first) / 10);
      const int n = static_cast<int>(bins.size());
      SetAxisScalingMode(p1h, s->graph, VAL_XAXIS, VAL_MANUAL, std::max(0, first - margin),
                         std::min(n - 1, last + margin));
    }
    show_stats(*s);
  }
}

void on_map_view(int) { draw_map(); }

void on_map_click(int) {
  int ix = 0, iy = 0;
  GetCtrlVal(p1h, P1_LOAD_IX, &ix);
  GetCtrlVal(p1h, P1_LOAD_IY, &iy);
  const ScanMap::Cell cell = shown_scan_map().cell(ix, iy);
  if (!cell.visited) {
    con_printf("Map cell ix=%d iy=%d: no data.\n", ix, iy);
    return;
  }
  const SpectrumChoice c = chosen_spectra();
  const std::size_t ch = static_cast<std::size_t>(c.channel);
  auto num = [](double v) {
    char b[32];
    if (std::isnan(v)) return std::string("none");
    std::snprintf(b, sizeof b, "%.1f", v);
    return std::string(b);
  };
  con_printf("Map cell ix=%d iy=%d (x %d, y %d): %llu event(s) saved; ch %d mean TDC %s, mean ADC "
             "gain 0 %s, gain 1 %s\n",
             ix, iy, cell.xset, cell.yset, static_cast<unsigned long long>(cell.saved), c.channel,
             num(cell.tdc[ch].mean()).c_str(), num(cell.adc0[ch].mean()).c_str(),
             num(cell.adc1[ch].mean()).c_str());
  con_printf("Map cell ix=%d iy=%d: ch %d fitted peak TDC %s, ADC gain 0 %s, gain 1 %s\n", ix, iy,
             c.channel, num(cell.peak[0][ch]).c_str(), num(cell.peak[1][ch]).c_str(),
             num(cell.peak[2][ch]).c_str());
  const MapSource src = shown_map_source();
  if (!src.stored) return;  // a live run keeps no spectra per position
  ReplaySelection sel;
  sel.all = false;
  sel.ix = ix;
  sel.iy = iy;
  ReplayResult res;
  if (replay_load(src.files, sel, &res) != 0) return;
  unfit();
  SetCtrlVal(p1h, P1_LOAD_ALL, 0);
  SetCtrlVal(p1h, P1_LOAD_STATUS, res.summary.c_str());
  update_plots();
}

void on_map_csv(int) {
  char path[300] = "";
  if (FileSelectPopupEx("", "*.csv", ".csv", "Export the scan map as CSV", 2, 0, 0, path,
                        sizeof path) <= 0)
    return;
  const SpectrumChoice c = chosen_spectra();
  const MapQuantity q = shown_quantity();
  std::string why;
  if (shown_scan_map().export_csv(path, c.channel, q, &why) != 0)
    con_printf("Map not exported: %s\n", why.c_str());
  else
    con_printf("Map of channel %d (%s) exported to %s\n", c.channel, map_quantity_name(q), path);
}

void on_map_png(int) {
  char path[300] = "";
  if (FileSelectPopupEx("", "*.png", ".png", "Save the scan map as a picture", 2, 0, 0, path,
                        sizeof path) <= 0)
    return;
  draw_map();
  if (SaveGraphImage(p1h, P1_MAP, path) != 0)
    con_printf("Map not saved to %s: no panel window to draw it, or the folder is not writable.\n",
               path);
  else
    con_printf("Map saved: %s\n", path);
}

// A fit curve goes with the spectra it was made on: new spectra (cleared,
// a run started, a stored run loaded) take it away.
ControlHandler g_clear = nullptr, g_run = nullptr, g_load = nullptr;
void on_clear_then_unfit(int control) {
  unfit();
  if (g_clear) g_clear(control);
}
void on_run_then_unfit(int control) {
  if (g_run) g_run(control);
  if (run_state().active()) unfit();
}
void on_load_then_unfit(int control) {
  unfit();
  if (g_load) g_load(control);
}

}  // namespace

int export_fit_results(const std::string& csvPath) {
  std::string lines;
  for (const Fitted& f : g_fitted)
    if (f.on) lines += f.line + "\n";
  if (lines.empty()) return 0;
  std::string path = csvPath;
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".csv") == 0) path.resize(path.size() - 4);
  path += "_fit.txt";
  std::FILE* fp = std::fopen(path.c_str(), "w");
  bool ok = fp && std::fputs(lines.c_str(), fp) >= 0;
  if (fp && std::fclose(fp) != 0) ok = false;
  if (!ok) {
    con_printf("Fit results not written to %s.\n", path.c_str());
    return -1;
  }
  con_printf("Fit results shown on the graphs written to %s\n", path.c_str());
  return 0;
}

void analysis_install_handlers() {
  // After the panel's, the run's and the stored-run handlers, which these wrap.
  if (ControlHandler h = session_handler(P1_CLEAR); h != on_clear_then_unfit) g_clear = h;
  if (ControlHandler h = session_handler(P1_RUN); h != on_run_then_unfit) g_run = h;
  if (ControlHandler h = session_handler(P1_LOAD_SPECTRA); h != on_load_then_unfit) g_load = h;
  session_set_handler(P1_CLEAR, on_clear_then_unfit);
  session_set_handler(P1_RUN, on_run_then_unfit);
  session_set_handler(P1_LOAD_SPECTRA, on_load_then_unfit);
  session_set_handler(P1_TDC_GRAPH, on_graph_range);
  session_set_handler(P1_ADC_GRAPH, on_graph_range);
  session_set_handler(P1_TDC_FIT, on_tdc_fit);
  session_set_handler(P1_ADC_FIT, on_adc_fit);
  session_set_handler(P1_ZOOM_RESET, on_zoom_reset);
  session_set_handler(P1_ZOOM_DATA, on_zoom_data);
  session_set_handler(P1_MAP_QUANTITY, on_map_view);
  session_set_handler(P1_MAP_LOG, on_map_view);
  session_set_handler(P1_MAP, on_map_click);
  session_set_handler(P1_MAP_EXPORT_CSV, on_map_csv);
  session_set_handler(P1_MAP_EXPORT_PNG, on_map_png);
  set_after_plots_hook(after_plots);
}
