#include "display.h"

#include <vector>

#include "mdq_ui.h"
#include "platform.h"
#include "spectra.h"

int ph_tdc = 0;
int ph_adc = 0;

namespace {
int clampSel(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }
}  // namespace

int update_plots() {
  // Snapshots: the worker may be filling the spectra right now.
  static std::vector<std::int32_t> tdc(kTdcBins), adc(kAdcBins);
  int ch = 0, irange = 0;
  GetCtrlVal(p1h, P1_CHANNEL, &ch);
  ch = clampSel(ch, 0, kChannels - 1);
  if (ph_tdc > 0) DeleteGraphPlot(p1h, P1_TDC_GRAPH, ph_tdc, VAL_DELAYED_DRAW);
  GetCtrlVal(p1h, P1_TDC_RANGE, &irange);
  irange = clampSel(irange, 0, 1);
  spectrum_snapshot(dtdc[ch][irange], tdc);
  ph_tdc = PlotY(p1h, P1_TDC_GRAPH, tdc.data(), kTdcBins, VAL_INTEGER, VAL_THICK_LINE,
                 VAL_NO_POINT, VAL_SOLID, 1, 0xFF0000);
  if (ph_adc > 0) DeleteGraphPlot(p1h, P1_ADC_GRAPH, ph_adc, VAL_DELAYED_DRAW);
  GetCtrlVal(p1h, P1_ADC_RANGE, &irange);
  irange = clampSel(irange, 0, 1);
  spectrum_snapshot(dadc[ch][irange], adc);
  ph_adc = PlotY(p1h, P1_ADC_GRAPH, adc.data(), kAdcBins, VAL_INTEGER, VAL_THICK_LINE,
                 VAL_NO_POINT, VAL_SOLID, 1, 0x0000FF);
  return 0;
}

int cb_timer(int, int, int, void*, int, int) {
  QueueUserEvent(9000, p1h, P1_TIMER);
  return 0;
}
