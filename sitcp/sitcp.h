// Register access to the EASIROC board over RBCP (UDP): the link, the
// request framing, single-register operations and the bias supply's
// conversions.
//
// All of it runs on one thread (the panel's event loop); requests are
// strictly sequential, each waits for its reply or the reply time-out.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

// How long a reply may take. Where the board is: board_link().
struct SiTCPLinkSettings {
  std::chrono::milliseconds replyTimeout{3000};
};
SiTCPLinkSettings& sitcp_settings();

// RBCP request header, 8 bytes on the wire; address big-endian once built.
struct bcp_header {
  std::uint8_t type;
  std::uint8_t command;
  std::uint8_t id;
  std::uint8_t length;
  std::uint32_t address;
};
static_assert(sizeof(bcp_header) == 8, "bcp_header must be packed to 8 bytes");

enum : std::uint8_t {
  RBCP_TYPE = 0xFF,
  RBCP_CMD_WRITE = 0x80,
  RBCP_CMD_READ = 0xC0,
};


void SiTCPinit();
// Closes the socket and ends the link.
void SiTCPclose();
// Records the address (copied) and the ports; prints them. Always 1.
int SiTCPSetIPPort(const char* IpAddr, unsigned int tcp, unsigned int udp);
// Opens the UDP socket (closing one left open) and fills the destination.
// Always 1.
int SiTCPCreateUDPSock();
void SiTCPRBCPskeleton(unsigned char type, unsigned char command, unsigned char id,
                       unsigned char length, unsigned int address);
// Drops every datagram already queued on the socket, so that a late reply
// to an earlier request cannot be taken for the next one.
void SiTCPdiscardPending();
// Sends the first `size` bytes of SiTCPsndBuf to the board. Returns the
// sendto result (negative on failure, errno set).
long SiTCPsendRequest(std::size_t size);
// Waits for the reply to the request in SiTCPsndBuf. With output = 1 returns
// its data byte (0-255); -1 on time-out, short reply or an unusable socket.
int SiTCPrcvRBCP_ACK(int output);
int SiTCPGetUDPSock();
// The request id for a register: its low byte, moved on by one for each
// request to it that got no usable reply on this socket. The board echoes
// any id, so a reply arriving after its request timed out then carries an
// id the next request to that register does not use.
unsigned char SiTCPrequestId(unsigned int address);
void SiTCPrequestFailed(unsigned int address);

// ---- register operations ------------------------------------------------

void SenderInit();
void SenderClose();
// Writes one register; only the low 8 bits of data are sent.
void Senderudp_send(unsigned int address, int data);
// Reads one register: 0-255, or -1 when no valid reply came.
[[nodiscard]] int Senderudp_recv(unsigned int address, int data);
// One conversion of monitor-ADC channel `data` (3 = bias voltage, 4 = bias
// current): the 16-bit code, or -1 when a result register could not be read.
[[nodiscard]] int Senderread_madc(int data);

// ---- bias supply ----------------------------------------------------------

inline constexpr float HVC_1 = 483.183f;   // DAC codes per volt
inline constexpr float HVC_2 = 780.0f;     // DAC code at 0 V
inline constexpr float ADC2HV = 0.00208f;  // volts per monitor code
inline constexpr float ADC2uA = 0.034f;    // microamps per monitor code
inline constexpr int MADC_CH_VOLTAGE = 3;
inline constexpr int MADC_CH_CURRENT = 4;

// DAC code for a bias of `hv` volts, truncated toward zero. False (code
// untouched) when it falls outside the DAC's 0..65535 or hv is not a number.
bool sitcp_hv_to_dac(double hv, int* code);
// Writes the DAC code: high part to 0x10, low part to 0x11, applied by 0x1E.
void sitcp_write_bias_dac(int code);
inline double sitcp_madc_to_volts(int code) { return double(code) * ADC2HV; }
inline double sitcp_madc_to_microamps(int code) { return double(code) * ADC2uA; }

// ---- the link's owner ------------------------------------------------------

namespace sitcp {

// The station's register-access link: where requests go, the socket, the
// request being built and the per-register request ids. One thread uses it.
struct RbcpLink {
  SiTCPLinkSettings settings;
  bcp_header SiTCPsndHeader{};
  unsigned char SiTCPsndBuf[2048] = {};
  unsigned char SiTCPsndData[256] = {};
  std::string ipAddr;
  unsigned tcpPort = 0;
  unsigned udpPort = 0;
  // -1 while no socket is open: nothing is ever sent through descriptor 0.
  int udpsock = -1;
  sockaddr_in udpAddr{};
  bool udpAddrValid = false;
  // Failed requests per register on the current socket; see SiTCPrequestId.
  std::map<unsigned int, unsigned char> idShift;
};

extern RbcpLink g_link;
inline RbcpLink& link() { return g_link; }

}  // namespace sitcp
