// Register-access link and bias supply commands of the main panel.
#pragma once

// The handlers bias_install_handlers() installs, one per control.
void bias_on_udp_open(int control);
void bias_on_udp_close(int control);
void bias_on_hv_control(int control);
void bias_on_hv_read(int control);

// Last setting, its DAC code and the last monitor read-back.
double bias_last_hv();
int bias_last_hvdac();
double bias_last_readback();
