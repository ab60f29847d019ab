// RBCP link: the UDP socket, request framing and the reply wait.
#include "sitcp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <thread>

#include "platform.h"

bcp_header SiTCPsndHeader;
unsigned char SiTCPsndBuf[2048];
unsigned char SiTCPsndData[256];

namespace {

std::string sitcpIpAddr;
unsigned tcpPort = 0;
unsigned udpPort = 0;
// -1 while no socket is open: nothing is ever sent through descriptor 0.
int udpsock = -1;
sockaddr_in SiTCPudpAddr{};
bool udpAddrValid = false;
// Failed requests per register on the current socket; see SiTCPrequestId.
std::map<unsigned int, unsigned char> idShift;

bool port_valid(unsigned port) { return port >= 1 && port <= 65534; }

bool reply_matches_request(const unsigned char* reply) {
  return reply[0] == SiTCPsndBuf[0] &&
         (reply[1] & RBCP_CMD_READ) == (SiTCPsndBuf[1] & RBCP_CMD_READ) &&
         reply[2] == SiTCPsndBuf[2] && std::memcmp(reply + 4, SiTCPsndBuf + 4, 4) == 0;
}

}  // namespace

SiTCPLinkSettings& sitcp_settings() {
  static SiTCPLinkSettings s;
  return s;
}

void SiTCPinit() { con_printf("SiTCP control --> Start.\n"); }

void SiTCPclose() {
  if (udpsock >= 0) close(udpsock);
  udpsock = -1;
  idShift.clear();  // a new socket never sees the old one's late replies
  con_printf("SiTCPclose -> Done.\n");
}

int SiTCPSetIPPort(const char* IpAddr, unsigned int tcp, unsigned int udp) {
  sitcpIpAddr = IpAddr ? IpAddr : "";
  if (!port_valid(tcp) || !port_valid(udp)) {
    if (!port_valid(tcp)) con_printf("error : invalid port : tcp = %u\n", tcp);
    if (!port_valid(udp)) con_printf("error : invalid port : udp = %u\n", udp);
    con_printf("exit(1);!!!\n");
  }
  tcpPort = tcp;
  udpPort = udp;
  con_printf("\n");
  con_printf("SiTCP:IP Address = %s\n", sitcpIpAddr.c_str());
  con_printf("      TCP Port   = %u\n", tcpPort);
  con_printf("      UDP Port   = %u\n", udpPort);
  con_printf("\n");
  return 1;
}

int SiTCPCreateUDPSock() {
  con_printf("Create socket for RBCP...");
  // Opening the link again must not leak the earlier socket (nor leave its
  // late replies around).
  if (udpsock >= 0) close(udpsock);
  udpsock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  idShift.clear();
  if (udpsock == -1) {
    con_printf("errno = %d | udpsock = %d\n", errno, udpsock);
    con_printf("exit(1);!!!\n");
  }
  std::memset(&SiTCPudpAddr, 0, sizeof SiTCPudpAddr);
  SiTCPudpAddr.sin_family = AF_INET;
  SiTCPudpAddr.sin_port = htons(static_cast<std::uint16_t>(udpPort));
  // An unparsable address would otherwise become the broadcast address.
  udpAddrValid = inet_pton(AF_INET, sitcpIpAddr.c_str(), &SiTCPudpAddr.sin_addr) == 1;
  if (!udpAddrValid)
    con_printf("\nerror : invalid IP address : %s (requests will not be sent)\n",
               sitcpIpAddr.c_str());
  con_printf("  Done\n");
  return 1;
}

void SiTCPRBCPskeleton(unsigned char type, unsigned char command, unsigned char id,
                       unsigned char length, unsigned int address) {
  SiTCPsndHeader.type = type;
  SiTCPsndHeader.command = command;
  SiTCPsndHeader.id = id;
  SiTCPsndHeader.length = length;
  SiTCPsndHeader.address = htonl(address);
  SiTCPsndBuf[0] = SiTCPsndHeader.type;
  SiTCPsndBuf[1] = SiTCPsndHeader.command;
  SiTCPsndBuf[2] = SiTCPsndHeader.id;
  SiTCPsndBuf[3] = SiTCPsndHeader.length;
  std::memcpy(SiTCPsndBuf + 4, &SiTCPsndHeader.address, 4);
}

void SiTCPdiscardPending() {
  if (udpsock < 0) return;
  unsigned char scratch[1024];
  // Bounded: a flood cannot keep us here.
  for (int i = 0; i < 256; ++i)
    if (recv(udpsock, scratch, sizeof scratch, MSG_DONTWAIT) < 0) break;
}

long SiTCPsendRequest(std::size_t size) {
  if (!udpAddrValid) {
    errno = EDESTADDRREQ;
    return -1;
  }
  return sendto(udpsock, SiTCPsndBuf, size, 0, reinterpret_cast<const sockaddr*>(&SiTCPudpAddr),
                sizeof SiTCPudpAddr);
}

int SiTCPGetUDPSock() { return udpsock; }

unsigned char SiTCPrequestId(unsigned int address) {
  const auto it = idShift.find(address);
  return static_cast<unsigned char>((address & 0xFF) + (it == idShift.end() ? 0 : it->second));
}

void SiTCPrequestFailed(unsigned int address) { ++idShift[address]; }

int SiTCPrcvRBCP_ACK(int output) {
  if (udpsock < 0 || !udpAddrValid) {
    con_printf("RBCP link not usable (no socket or no valid board address): open it again\n");
    return -1;
  }
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + sitcp_settings().replyTimeout;
  unsigned char reply[1024];
  bool receiveErrorShown = false;
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
    if (left <= 0) break;
    pollfd p{udpsock, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(left));
    if (r == 0) break;
    if (r < 0) {
      if (errno == EINTR) continue;
      con_printf("RBCP reply wait failed: %s\n", std::strerror(errno));
      return -1;
    }
    if (p.revents & POLLNVAL) {
      con_printf("RBCP reply wait failed: socket not open\n");
      return -1;
    }
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n = recvfrom(udpsock, reply, sizeof reply, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      if (!receiveErrorShown) con_printf("RBCP receive error: %s\n", std::strerror(errno));
      receiveErrorShown = true;
      // A persistent error must not spin; the deadline still bounds us.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    if (from.sin_addr.s_addr != SiTCPudpAddr.sin_addr.s_addr ||
        from.sin_port != SiTCPudpAddr.sin_port)
      continue;  // not the board
    if (n < 9) {
      con_printf("RBCP reply too short (%zd bytes): no register value\n", n);
      return -1;
    }
    if (!reply_matches_request(reply)) {
      con_printf("RBCP reply for another request (id 0x%02X) discarded\n", reply[2]);
      continue;
    }
    return output == 1 ? reply[8] : 0;
  }
  con_printf("\n***** Timeout ! *****\n");
  return -1;
}
