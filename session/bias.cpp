// Register-access link and bias supply commands: open and close the RBCP
// link, set the bias voltage, read back bias voltage and current.
#include "bias.h"

#include "dispatch.h"
#include "mdq_ui.h"
#include "platform.h"
#include "run_record.h"
#include "sitcp.h"
#include "board_link.h"

namespace {
double HV = 0;
int HVDAC = 0;
double rd_data = 0;
}  // namespace

double bias_last_hv() { return HV; }
int bias_last_hvdac() { return HVDAC; }
double bias_last_readback() { return rd_data; }

void bias_on_udp_open(int) {
  const BoardLink& link = board_link();
  SiTCPinit();
  SiTCPSetIPPort(link.host(), static_cast<unsigned>(link.tcpPort),
                 static_cast<unsigned>(link.udpPort));
  SiTCPCreateUDPSock();
  SenderInit();
  Senderudp_send(0x12, 0xF8);
  Senderudp_send(0x1F, 0x00);
}

void bias_on_udp_close(int) {
  SiTCPclose();
  SenderClose();
}

void bias_on_hv_control(int) {
  GetCtrlVal(p1h, P1_ER_HV, &HV);
  int code = 0;
  // A code the DAC cannot hold would be cut to some other voltage.
  if (!sitcp_hv_to_dac(HV, &code)) {
    con_printf("P1_ER_HV_CONTROL: HV = %lf needs a DAC code outside 0..65535: "
               "refused, bias not changed\n",
               HV);
    return;
  }
  HVDAC = code;
  con_printf("P1_ER_HV_CONTROL: HV = %lf | HVDAC = %d\n", HV, HVDAC);
  sitcp_write_bias_dac(HVDAC);
  run_record_note_bias_set(HV, HVDAC);
}

namespace {
// One monitor channel: its value, or a failure line instead of a figure
// computed from a failed read.
std::optional<double> read_back(int channel, const char* what, double (*convert)(int),
                                const char* unit) {
  int code = Senderread_madc(channel);
  if (code < 0) {
    con_printf("Bias %s : read-back failed\n", what);
    return std::nullopt;
  }
  rd_data = convert(code);
  con_printf("Bias %s : %.2lf%s\n", what, rd_data, unit);
  return rd_data;
}
}  // namespace

void bias_on_hv_read(int) {
  const auto volts = read_back(MADC_CH_VOLTAGE, "voltage", sitcp_madc_to_volts, "V");
  const auto microamps = read_back(MADC_CH_CURRENT, "current", sitcp_madc_to_microamps, "uA");
  run_record_note_bias_read(volts, microamps);
}

void bias_install_handlers() {
  session_set_handler(P1_ER_UDP_OPEN, bias_on_udp_open);
  session_set_handler(P1_ER_UDP_CLOSE, bias_on_udp_close);
  session_set_handler(P1_ER_HV_CONTROL, bias_on_hv_control);
  session_set_handler(P1_ER_HV_READ, bias_on_hv_read);
}
