// Crate start-up and shutdown, and the operator's direct crate commands.
// None is guarded against a running acquisition: the worker writes the PIO
// around every trigger, so a veto given during a run lasts until its next write.
#include "crate.h"

#include <cstdint>

#include "camac.h"
#include "dispatch.h"
#include "mdq_ui.h"
#include "platform.h"
#include "v1290.h"
#include "wienvme_dll.h"

int cres = 0;

namespace {

// The VME layer says a failed cycle.
int write16(std::uint32_t address, int value) {
  std::uint16_t word = static_cast<std::uint16_t>(value);
  return WIENVME_write16(hHandle24, 1, address, &word);
}

}  // namespace

// A veto the crate did not take must not be announced as set.
void crate_pio_veto_on(int) {
  if (write16(PIO_OUTPUT, 1) == 0)
    con_printf("PIO VETO ON\n");
  else
    con_printf("PIO veto NOT set: the crate write failed -- check the crate.\n");
}

void crate_pio_veto_off(int) {
  if (write16(PIO_OUTPUT, 0) == 0)
    con_printf("PIO VETO OFF\n");
  else
    con_printf("PIO veto NOT released: the crate write failed -- check the crate.\n");
}

void crate_pio_pulse(int) {
  if (write16(PIO_OUTPUT, 1) != 0) return;
  Delay(0.001);
  (void)write16(PIO_OUTPUT, 0);
}

void crate_tdc_reset(int) {
  int failed = write16(V1290_MODULE_RESET, 0) != 0;
  Delay(0.1);
  failed += write16(V1290_SW_CLEAR, 0) != 0;
  Delay(0.1);
  failed += write16(V1290_SW_EVENT_RESET, 0) != 0;
  Delay(0.1);
  if (failed) con_printf("TDC reset: %d of 3 writes failed -- check the crate.\n", failed);
}

void crate_tdc_handshake(int) {
  std::uint16_t dum = 0;
  // A failed read is said by the VME layer; the line then shows 0.
  (void)WIENVME_read16(hHandle24, 1, V1290_MICRO_HANDSHAKE, &dum);
  Delay(0.01);
  con_printf("Micro handshake = %x\n", static_cast<unsigned>(dum));
}

V1290Settings tdc_settings_from_panel() {
  V1290Settings t;
  GetCtrlVal(p1h, P1_TDC_WINDOW_WIDTH, &t.windowWidth);
  GetCtrlVal(p1h, P1_TDC_WINDOW_OFFSET, &t.windowOffset);
  GetCtrlVal(p1h, P1_TDC_EXTRA_MARGIN, &t.extraMargin);
  GetCtrlVal(p1h, P1_TDC_EDGE, &t.edge);
  return t;
}

void crate_tdc_init(int) {
  (void)V1290_init(tdc_settings_from_panel());
  V1290_readConfig();
}

void crate_tdc_read_config(int) { V1290_readConfig(); }

void crate_install_handlers() {
  session_set_handler(P1_PIO_VETO_ON, crate_pio_veto_on);
  session_set_handler(P1_PIO_VETO_OFF, crate_pio_veto_off);
  session_set_handler(P1_PIO_PULSE, crate_pio_pulse);
  session_set_handler(P1_TDC_RESET, crate_tdc_reset);
  session_set_handler(P1_TDC_HANDSHAKE, crate_tdc_handshake);
  session_set_handler(P1_TDC_INIT, crate_tdc_init);
  session_set_handler(P1_TDC_READ_CONFIG, crate_tdc_read_config);
}

void crate_startup() {
  // The configured driver path (station settings; the simulated driver
  // under --simulate). Start-up goes on whatever the driver does.
  (void)WIENVME_start(wienvme_driver_path());

  unsigned long ext = 0;
  std::uint16_t word = static_cast<std::uint16_t>(cres);
  // Start-up goes on through failures, each said by the VME layer, so the
  // operator sees every part of the crate that does not answer.
  (void)WIENVME_write16(hHandle24, 1, CAMAC_BRANCH_REG, &word);
  CAMAC_cccz(&ext);
  CAMAC_cccc(&ext);
  word = static_cast<std::uint16_t>(cres);
  if (WIENVME_read16(hHandle24, 1, CAMAC_address(CAMAC_CRATE, CAMAC_N_CC_LINES, 9, 24), &word) == 0)
    cres = word;

  std::uint16_t dum = 0;
  (void)WIENVME_read16(hHandle24, 1, PIO_CLEAR, &dum);
  (void)write16(PIO_REG2, 2);

  Delay(0.01);
  Delay(0.01);
  (void)V1290_init(tdc_settings_from_panel());
}

void crate_shutdown() { WIENVME_stop(); }
