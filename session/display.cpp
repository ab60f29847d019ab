#include "display.h"

#include <algorithm>
#include <vector>

#include "mdq_ui.h"
#include "platform.h"
#include "live_histograms.h"

int ph_tdc = 0;
int ph_adc = 0;

namespace {
PlotsHook g_afterPlots = nullptr;
}

void set_after_plots_hook(PlotsHook hook) { g_afterPlots = hook; }

SpectrumChoice chosen_spectra() {
  SpectrumChoice c;
  GetCtrlVal(p1h, P1_CHANNEL, &c.channel);
  GetCtrlVal(p1h, P1_TDC_RANGE, &c.tdcRange);
  GetCtrlVal(p1h, P1_ADC_RANGE, &c.adcRange);
  c.channel = std::clamp(c.channel, 0, kChannels - 1);
  c.tdcRange = std::clamp(c.tdcRange, 0, 1);
  c.adcRange = std::clamp(c.adcRange, 0, 1);
  return c;
}

int update_plots() {
  // Snapshots: the worker may be filling the spectra right now.
  static std::vector<std::int32_t> tdc(kTdcBins), adc(kAdcBins);
  const SpectrumChoice c = chosen_spectra();
  if (ph_tdc > 0) DeleteGraphPlot(p1h, P1_TDC_GRAPH, ph_tdc, VAL_DELAYED_DRAW);
  spectrum_snapshot(dtdc[c.channel][c.tdcRange], tdc);
  // The snapshot itself goes to the graph; the vector comes back for the next one.
  ph_tdc = PlotYVector(p1h, P1_TDC_GRAPH, tdc, 0xFF0000);
  if (ph_adc > 0) DeleteGraphPlot(p1h, P1_ADC_GRAPH, ph_adc, VAL_DELAYED_DRAW);
  spectrum_snapshot(dadc[c.channel][c.adcRange], adc);
  ph_adc = PlotYVector(p1h, P1_ADC_GRAPH, adc, 0x0000FF);
  if (g_afterPlots) g_afterPlots();
  return 0;
}

int cb_timer(int, int, int, void*, int, int) {
  QueueUserEvent(9000, p1h, P1_TIMER);
  return 0;
}
