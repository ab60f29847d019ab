// Single-register operations and the bias supply's DAC and monitor ADC.
#include <cerrno>
#include <cstring>

#include "platform.h"
#include "sitcp.h"

namespace {

int request(unsigned char command, unsigned int address, const char* sendErrorText) {
  SiTCPRBCPskeleton(RBCP_TYPE, command, SiTCPrequestId(address), 1, address);
  SiTCPdiscardPending();
  if (SiTCPsendRequest(9) < 0) {
    const int e = errno;
    con_printf("%s: %s\n", sendErrorText, std::strerror(e));
    con_printf("exit(1);!!!\n");
  }
  const int result = SiTCPrcvRBCP_ACK(1);
  if (result < 0) SiTCPrequestFailed(address);
  return result;
}

int write_register(unsigned int address, int data, const char* sendErrorText) {
  sitcp::link().SiTCPsndData[0] = static_cast<unsigned char>(data & 0xFF);
  std::memcpy(sitcp::link().SiTCPsndBuf + 8, sitcp::link().SiTCPsndData, sizeof sitcp::link().SiTCPsndData);
  return request(RBCP_CMD_WRITE, address, sendErrorText);
}

}  // namespace

void SenderInit() {}
void SenderClose() {}

void Senderudp_send(unsigned int address, int data) {
  write_register(address, data, "UDP send error");
}

int Senderudp_recv(unsigned int address, int data) {
  return request(RBCP_CMD_READ, address, "UDP recv error");
}

int Senderread_madc(int data) {
  write_register(0x12, data, "UDP Send error");
  write_register(0x1F, 1, "UDP Send error");
  Delay(2.0);  // conversion time; the board has no completion flag
  write_register(0x12, 0xF0, "UDP Send error");
  write_register(0x1F, 0, "UDP Send error");
  const int high = Senderudp_recv(0x04, 0);
  const int low = Senderudp_recv(0x05, 0);
  if (high < 0 || low < 0) return -1;
  return high * 256 + low;
}

bool sitcp_hv_to_dac(double hv, int* code) {
  const double c = hv * double(HVC_1) + double(HVC_2);
  // Truncation toward zero maps (-1, 0) to 0, still a valid code.
  if (!(c > -1.0 && c < 65536.0)) return false;
  *code = static_cast<int>(c);
  return true;
}

void sitcp_write_bias_dac(int code) {
  Senderudp_send(0x10, code / 256);
  Senderudp_send(0x11, code % 256);
  Senderudp_send(0x1E, 1);
}
