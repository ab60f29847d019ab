// Spectrum display on the panel's two graphs.
#pragma once

extern int ph_tdc;
extern int ph_adc;

// The channel and the TDC/ADC ranges chosen on the panel, held to what the
// spectra have: what the graphs show and what an export writes.
struct SpectrumChoice {
  int channel = 0;
  int tdcRange = 0;
  int adcRange = 0;
};
SpectrumChoice chosen_spectra();

// Redraws the TDC and ADC spectra of the channel chosen on the panel.
int update_plots();

// Called at the end of every update_plots (the numbers under the graphs and
// the scan map follow the spectra). nullptr removes it.
using PlotsHook = void (*)();
void set_after_plots_hook(PlotsHook hook);

// The panel timer's callback: turns a tick into event 9000 on P1_TIMER.
int cb_timer(int panel, int control, int event, void* callbackData, int eventData1,
             int eventData2);
