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

namespace sitcp {
RbcpLink g_link;
}  // namespace sitcp


using sitcp::link;

namespace {


bool port_valid(unsigned port) { return port >= 1 && port <= 65534; }

bool reply_matches_request(const unsigned char* reply) {
  return reply[0] == link().SiTCPsndBuf[0] &&
         (reply[1] & RBCP_CMD_READ) == (link().SiTCPsndBuf[1] & RBCP_CMD_READ) &&
         reply[2] == link().SiTCPsndBuf[2] && std::memcmp(reply + 4, link().SiTCPsndBuf + 4, 4) == 0;
}

}  // namespace

SiTCPLinkSettings& sitcp_settings() { return sitcp::link().settings; }

void SiTCPinit() { con_printf("SiTCP control --> Start.\n"); }

void SiTCPclose() {
  if (link().udpsock >= 0) close(link().udpsock);
  link().udpsock = -1;
  link().idShift.clear();  // a new socket never sees the old one's late replies
  con_printf("SiTCPclose -> Done.\n");
}

int SiTCPSetIPPort(const char* IpAddr, unsigned int tcp, unsigned int udp) {
  link().ipAddr = IpAddr ? IpAddr : "";
  if (!port_valid(tcp) || !port_valid(udp)) {
    if (!port_valid(tcp)) con_printf("error : invalid port : tcp = %u\n", tcp);
    if (!port_valid(udp)) con_printf("error : invalid port : udp = %u\n", udp);
    con_printf("exit(1);!!!\n");
  }
  link().tcpPort = tcp;
  link().udpPort = udp;
  con_printf("\n");
  con_printf("SiTCP:IP Address = %s\n", link().ipAddr.c_str());
  con_printf("      TCP Port   = %u\n", link().tcpPort);
  con_printf("      UDP Port   = %u\n", link().udpPort);
  con_printf("\n");
  return 1;
}

int SiTCPCreateUDPSock() {
  con_printf("Create socket for RBCP...");
  // Opening the link again must not leak the earlier socket (nor leave its
  // late replies around).
  if (link().udpsock >= 0) close(link().udpsock);
  link().udpsock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  link().idShift.clear();
  if (link().udpsock == -1) {
    con_printf("errno = %d | udpsock = %d\n", errno, link().udpsock);
    con_printf("exit(1);!!!\n");
  }
  std::memset(&link().udpAddr, 0, sizeof link().udpAddr);
  link().udpAddr.sin_family = AF_INET;
  link().udpAddr.sin_port = htons(static_cast<std::uint16_t>(link().udpPort));
  // An unparsable address would otherwise become the broadcast address.
  link().udpAddrValid = inet_pton(AF_INET, link().ipAddr.c_str(), &link().udpAddr.sin_addr) == 1;
  if (!link().udpAddrValid)
    con_printf("\nerror : invalid IP address : %s (requests will not be sent)\n",
               link().ipAddr.c_str());
  con_printf("  Done\n");
  return 1;
}

void SiTCPRBCPskeleton(unsigned char type, unsigned char command, unsigned char id,
                       unsigned char length, unsigned int address) {
  link().SiTCPsndHeader.type = type;
  link().SiTCPsndHeader.command = command;
  link().SiTCPsndHeader.id = id;
  link().SiTCPsndHeader.length = length;
  link().SiTCPsndHeader.address = htonl(address);
  link().SiTCPsndBuf[0] = link().SiTCPsndHeader.type;
  link().SiTCPsndBuf[1] = link().SiTCPsndHeader.command;
  link().SiTCPsndBuf[2] = link().SiTCPsndHeader.id;
  link().SiTCPsndBuf[3] = link().SiTCPsndHeader.length;
  std::memcpy(link().SiTCPsndBuf + 4, &link().SiTCPsndHeader.address, 4);
}

void SiTCPdiscardPending() {
  if (link().udpsock < 0) return;
  unsigned char scratch[1024];
  // Bounded: a flood cannot keep us here.
  for (int i = 0; i < 256; ++i)
    if (recv(link().udpsock, scratch, sizeof scratch, MSG_DONTWAIT) < 0) break;
}

long SiTCPsendRequest(std::size_t size) {
  if (!link().udpAddrValid) {
    errno = EDESTADDRREQ;
    return -1;
  }
  return sendto(link().udpsock, link().SiTCPsndBuf, size, 0, reinterpret_cast<const sockaddr*>(&link().udpAddr),
                sizeof link().udpAddr);
}

int SiTCPGetUDPSock() { return link().udpsock; }

unsigned char SiTCPrequestId(unsigned int address) {
  const auto it = link().idShift.find(address);
  return static_cast<unsigned char>((address & 0xFF) + (it == link().idShift.end() ? 0 : it->second));
}

void SiTCPrequestFailed(unsigned int address) { ++link().idShift[address]; }

int SiTCPrcvRBCP_ACK(int output) {
  if (link().udpsock < 0 || !link().udpAddrValid) {
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
    pollfd p{link().udpsock, POLLIN, 0};
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
    const ssize_t n = recvfrom(link().udpsock, reply, sizeof reply, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      if (!receiveErrorShown) con_printf("RBCP receive error: %s\n", std::strerror(errno));
      receiveErrorShown = true;
      // A persistent error must not spin; the deadline still bounds us.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    if (from.sin_addr.s_addr != link().udpAddr.sin_addr.s_addr ||
        from.sin_port != link().udpAddr.sin_port)
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
