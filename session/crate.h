// Crate start-up and the operator's crate commands (handlers for dispatch).
#pragma once

void crate_pio_veto_on(int control);
void crate_pio_veto_off(int control);
void crate_pio_pulse(int control);
void crate_tdc_reset(int control);
void crate_tdc_handshake(int control);
void crate_tdc_init(int control);
void crate_tdc_read_config(int control);
