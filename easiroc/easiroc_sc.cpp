// Board initialisation: FPGA pin words, slow-control, read-register and
// probe bit streams, each fed to the FPGA one byte per register word.
#include <string>

#include "easiroc.h"
#include "easiroc_internal.h"
#include "platform.h"

using namespace easiroc;

namespace {

constexpr unsigned kSelectChip1 = 0x9400;
constexpr unsigned kSelectChip2 = 0x5400;
constexpr unsigned kSelectEnd = 0x1400;

unsigned reg(unsigned address, unsigned value) { return (address << 16) + ((value & 0xFF) << 8); }
unsigned byte_of(unsigned word, int b) { return (word >> (8 * b)) & 0xFF; }
void byte_pause() { easiroc_detail::pause_us(easiroc_settings().streamBytePauseUs); }

}  // namespace

void PrepareFPGA(void) {
  board().streams.Pindata[0] = board().config.iniData[0];
  board().streams.Pindata[1] = board().config.iniData[1];
}

int DebugFPGA(SOCKET socket) {
  con_printf(">>> DebugFPGA Pindata:\n");
  con_printf("%u\n", board().streams.Pindata[0]);
  con_printf("%u\n", board().streams.Pindata[1]);
  if (WriteData(socket, reg(0x00, board().streams.Pindata[0])) != 0) return -1;
  static const unsigned kPinRegs[4] = {0x01, 0x02, 0x03, 0x05};
  for (int i = 0; i < 4; ++i) {
    if (WriteData(socket, reg(kPinRegs[i], byte_of(board().streams.Pindata[1], i))) != 0) return -1;
    byte_pause();
  }
  return 0;
}

void PrepareSC(int chipNo) {
  int first = chipNo == 1 ? 2 : 17;
  for (int i = 0; i < 15; ++i) board().streams.slowdata[i] = board().config.iniData[first + i];
}

int TransmitSC(SOCKET socket) {
  con_printf(">>> TransmitSC slowdata:\n");
  for (unsigned w : board().streams.slowdata) con_printf("%u\n", w);
  if (WriteData(socket, reg(0x01, 0xF0)) != 0) return -1;
  if (WriteData(socket, reg(0x0A, board().streams.slowdata[0])) != 0) return -1;
  for (int i = 1; i < 15; ++i) {
    for (int b = 0; b < 4; ++b) {
      if (WriteData(socket, reg(0x0A, byte_of(board().streams.slowdata[i], b))) != 0) return -1;
      byte_pause();
    }
  }
  for (unsigned v : {0xF2u, 0xF0u, 0xF1u, 0xF0u})
    if (WriteData(socket, reg(0x01, v)) != 0) return -1;
  return 0;
}

void PrepareReadSC(int chipNo) { board().streams.ReadSCdata[0] = board().config.iniData[chipNo == 1 ? 32 : 33]; }

int TransmitReadSC(SOCKET socket) {
  con_printf(">>> TransmitReadSC ReadSCdata:\n");
  con_printf("%u\n", board().streams.ReadSCdata[0]);
  for (int b = 0; b < 4; ++b) {
    if (WriteData(socket, reg(0x0C, byte_of(board().streams.ReadSCdata[0], b))) != 0) return -1;
    byte_pause();
  }
  for (unsigned v : {0xF2u, 0xF0u})
    if (WriteData(socket, reg(0x01, v)) != 0) return -1;
  return 0;
}

int PreparePSC(int CurrentCh, int CurrentProbeType) {
  if (CurrentCh < 0 || CurrentCh > 31) {
    con_printf("PreparePSC: channel %d outside 0..31 of a chip; probe not prepared\n", CurrentCh);
    return -1;
  }
  for (auto& w : board().streams.Probedata) w = 0;
  int signal;
  switch (CurrentProbeType) {
    case 1: signal = pa_hg; break;
    case 2: signal = pa_lg; break;
    case 3: signal = ssh_hg; break;
    case 4: signal = ssh_lg; break;
    case 8: board().streams.ProbeBuffer = 0; return 0;
    default: signal = fs; break;
  }
  board().streams.ProbeBuffer = 1u << (31 - CurrentCh);
  // Squaring a one-hot word doubles its bit position: two bits per channel.
  unsigned upper = board().streams.ProbeBuffer * board().streams.ProbeBuffer;
  unsigned lower = (board().streams.ProbeBuffer >> 16) * (board().streams.ProbeBuffer >> 16);
  if (signal == ssh_hg || signal == pa_hg) {
    upper <<= 1;
    lower <<= 1;
  }
  switch (signal) {
    case fs: board().streams.Probedata[fs_all] = board().streams.ProbeBuffer; break;
    case ssh_hg:
    case ssh_lg:
      if (CurrentCh > 15) board().streams.Probedata[ssh_16] = upper;
      else board().streams.Probedata[ssh_0] = lower;
      break;
    default:
      if (CurrentCh > 15) board().streams.Probedata[pa_16] = upper;
      else board().streams.Probedata[pa_0] = lower;
      break;
  }
  auto bits = [](unsigned w) {
    std::string s;
    for (int b = 0; b < 32; ++b) s += (w >> b) & 1 ? '!' : '.';
    return s;
  };
  con_printf("%s\n", bits(board().streams.Probedata[0]).c_str());
  con_printf("%s%s\n", bits(board().streams.Probedata[1]).c_str(), bits(board().streams.Probedata[2]).c_str());
  con_printf("%s%s\n", bits(board().streams.Probedata[3]).c_str(), bits(board().streams.Probedata[4]).c_str());
  return 0;
}

int TransmitProbe(SOCKET socket) {
  if (WriteData(socket, reg(0x01, 0xD0)) != 0) return -1;
  for (unsigned w : board().streams.Probedata)
    for (int b = 0; b < 4; ++b)
      if (WriteData(socket, reg(0x0A, byte_of(w, b))) != 0) return -1;
  for (unsigned v : {0xD2u, 0xD0u})
    if (WriteData(socket, reg(0x01, v)) != 0) return -1;
  return 0;
}

int easiroc_Init(const char* SiTCP_MASTER_IP, unsigned int daq_mode) {
  if (easiroc_Connect(SiTCP_MASTER_IP) != 0) return -1;
  SOCKET s = board().sock.load();
  // Every step is still sent (each prints its own line), but the first one
  // that failed decides the verdict: a chip left unconfigured takes no data
  // worth keeping.
  const char* failed = nullptr;
  auto step = [&](int result, const char* what) {
    if (result != 0 && !failed) failed = what;
  };
  PrepareFPGA();
  step(DebugFPGA(s), "the FPGA pin words");
  con_printf("\nASIS Initialize : Done\n\n");
  step(WriteData(s, kSelectChip1), "selecting chip 1");
  PrepareSC(1);
  step(TransmitSC(s), "the slow control of chip 1");
  con_printf("\nSlow Control chip1 : Done\n\n");
  PrepareReadSC(1);
  step(TransmitReadSC(s), "the read register of chip 1");
  con_printf("\nRead Slow Control chip1 : Done\n\n");
  step(WriteData(s, kSelectChip2), "selecting chip 2");
  PrepareSC(2);
  step(TransmitSC(s), "the slow control of chip 2");
  con_printf("\nSlow Control chip2 : Done\n\n");
  PrepareReadSC(2);
  step(TransmitReadSC(s), "the read register of chip 2");
  con_printf("\nRead Slow Control chip2: Done\n\n");
  step(WriteData(s, kSelectEnd), "ending the chip selection");
  if (WriteData(s, 0x1F0000 + (daq_mode << 8)) == -1) {
    if (!failed) failed = "the DAQ mode";
    con_printf("easiroc_Init: FAILED at %s -- check the board link and connect again.\n", failed);
    return -1;
  }
  con_printf("\n#D : DAQ mode is %d \n", daq_mode);
  if (failed) {
    con_printf("easiroc_Init: FAILED at %s -- the board is not configured; connect again.\n",
               failed);
    return -1;
  }
  return 0;
}

int easiroc_fTransmitSC(void) {
  SOCKET s = board().sock.load();
  if (WriteData(s, kSelectChip1) != 0) return -1;
  PrepareSC(1);
  if (TransmitSC(s) != 0) return -1;
  con_printf("\nSlow Control chip1 : Done\n\n");
  if (WriteData(s, kSelectChip2) != 0) return -1;
  PrepareSC(2);
  if (TransmitSC(s) != 0) return -1;
  con_printf("\nSlow Control chip2 : Done\n\n");
  if (WriteData(s, kSelectEnd) != 0) return -1;
  return 0;
}

int easiroc_fTransmitReadSC(void) {
  SOCKET s = board().sock.load();
  if (WriteData(s, kSelectChip1) != 0) return -1;
  PrepareReadSC(1);
  if (TransmitReadSC(s) != 0) return -1;
  con_printf("\nRead Slow Control chip1 : Done\n\n");
  if (WriteData(s, kSelectChip2) != 0) return -1;
  PrepareReadSC(2);
  if (TransmitReadSC(s) != 0) return -1;
  con_printf("\nRead Slow Control chip2 : Done\n\n");
  if (WriteData(s, kSelectEnd) != 0) return -1;
  return 0;
}

int easiroc_fAsicInitialize(void) {
  PrepareFPGA();
  if (DebugFPGA(board().sock.load()) != 0) return -1;
  con_printf("\nASIS Initialize : Done\n\n");
  return 0;
}

int easiroc_fTransmitProbe(int CurrentCh, int CurrentProbe) {
  if (CurrentCh < 0 || CurrentCh > 63) {
    con_printf("easiroc_fTransmitProbe: probe channel %d outside 0..63; nothing sent\n", CurrentCh);
    return -1;
  }
  SOCKET s = board().sock.load();
  if (CurrentCh < 32) {
    if (WriteData(s, kSelectChip1) != 0) return -1;
  } else {
    if (WriteData(s, kSelectChip2) != 0) return -1;
    CurrentCh -= 32;
  }
  if (PreparePSC(CurrentCh, CurrentProbe) != 0) return -1;
  if (TransmitProbe(s) != 0) {
    con_printf("\neasiroc_fTransmitProbe: TransmitProbe ERROR !!!!!!!!!!!!!!!!!!!\n\n");
    return -1;
  }
  return 0;
}
