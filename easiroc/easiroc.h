// EASIROC front-end board: the TCP link with its register-write protocol,
// the configuration file, board initialisation with the slow-control,
// read-register and probe bit streams, and the ADC event read-out.
//
// The board's operations as plain functions over the one board they drive
// (easiroc::board(), easiroc_board.h). The connection is not locked: the
// panel and the acquisition worker must not use it at the same time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// ---- settings -------------------------------------------------------------

// What the station compiles in, overridable for the simulated stand and tests.
struct EasirocSettings {
  int recvTimeoutMs = 3000;         // every receive on the connection
  int connectTimeoutMs = 5000;      // an unreachable board costs at most this
  int ackPauseUs = 40000;           // pause between a register word and its acknowledgement
  int streamBytePauseUs = 1000;     // pause after each stream byte / pin byte
  int startPauseUs = 100000;        // after the start word
  // Pause after every frame of the continuous read-out. It paced a board
  // read by a slow console; it costs the link rate (200 us caps a read-out
  // near 5,000 frames/s), so it is 0 unless a board needs it.
  int framePauseUs = 0;
  // Which frames the continuous read-out prints word by word.
  enum class FrameDump { Sampled, Every, None };
  FrameDump frameDump = FrameDump::Sampled;
  int dumpFramesPerSecond = 2;      // Sampled: at most this many frames a second
  int progressLineMs = 1000;        // console progress line (frames, MB, MB/s); 0 = none
  int drainMaxFrames = 100000;      // a board that never stops sending is given up on
  int progressIntervalMs = 100;     // how often the progress hook runs at most
};
EasirocSettings& easiroc_settings();
// Back to the compiled-in values (tests).
void easiroc_reset_settings();

// ---- link -----------------------------------------------------------------

constexpr int SiTCP_PORT = 24;
constexpr int NofHeader = 3;
constexpr std::uint32_t EASIROC_FRAME_MAGIC = 0xFFFFEA0Cu;
constexpr std::uint32_t EASIROC_WRITE_FLAG = 0x80000000u;
constexpr std::uint32_t EASIROC_START_WORD = 0x20640000u;
constexpr std::uint32_t EASIROC_STOP_WORD1 = 0x10640000u;
constexpr std::uint32_t EASIROC_STOP_WORD2 = 0x00640000u;

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;

// Opens the connection (receive time-out, no-delay); an open connection is
// closed first. Prints the connect lines. 0 or -1.
[[nodiscard]] int easiroc_Connect(const char* SiTCP_MASTER_IP);
bool easiroc_Connected();
// Sends one register word with the write flag and waits for its
// acknowledgement. 0 or -1.
[[nodiscard]] int WriteData(SOCKET socket, unsigned int data);
void easiroc_Close(void);
// Blocking pause of `usec` microseconds.
void easiroc_usleep(long long usec);
// The 4 little-endian bytes of a register word as they go on the wire.
void easiroc_register_bytes(unsigned int data, unsigned char out[4]);

// ---- configuration ----------------------------------------------------------

constexpr int EASIROC_INI_VALUES = 34;
constexpr const char* EASIROC_DEFAULT_INI = "EASIROCini/EASIROC.ini";
// 1 when the file was read, 0 when it cannot be opened or holds text that is
// not a number (the table is then left unchanged).
[[nodiscard]] int easiroc_LoadIni(const char* iniFile);
// The file the table was last loaded from and the bytes it was loaded from
// (both empty before the first load).
void easiroc_ini_source(std::string* path, std::string* text);

// ---- initialisation and bit streams -------------------------------------------

namespace easiroc {
enum DataName { fs = 0, ssh_hg, ssh_lg, pa_hg, pa_lg, sizeDataName };
enum Asign { fs_all = 0, ssh_16, ssh_0, pa_16, pa_0, sizeAsign };
}  // namespace easiroc

[[nodiscard]] int easiroc_Init(const char* SiTCP_MASTER_IP, unsigned int daq_mode);
void PrepareFPGA(void);
[[nodiscard]] int DebugFPGA(SOCKET socket);
void PrepareSC(int chipNo);
[[nodiscard]] int TransmitSC(SOCKET socket);
void PrepareReadSC(int chipNo);
[[nodiscard]] int TransmitReadSC(SOCKET socket);
// 0, or -1 (nothing prepared) for a channel outside 0..31.
[[nodiscard]] int PreparePSC(int CurrentCh, int CurrentProbeType);
[[nodiscard]] int TransmitProbe(SOCKET socket);
[[nodiscard]] int easiroc_fTransmitSC(void);
[[nodiscard]] int easiroc_fTransmitReadSC(void);
[[nodiscard]] int easiroc_fAsicInitialize(void);
// Panel channel 0..63 (32..63 = chip 2); others are refused, nothing sent.
[[nodiscard]] int easiroc_fTransmitProbe(int CurrentCh, int CurrentProbe);

// ---- ADC event read-out -----------------------------------------------------------

constexpr int ESRCDATA_WORDS = 100;
constexpr int EASIROC_FRAME_BUFFER_WORDS = 1000;

// Progress of a continuous read-out, handed to the hook.
struct EasirocProgress {
  long long cycles = 0;          // cycles done (including failed ones)
  long long framesWritten = 0;   // frames accepted and written to the file
  long long bytesWritten = 0;
  long long maxCycles = 0;
  bool draining = false;
  bool finished = false;
};
// Called on the read-out's thread, at most every progressIntervalMs and once
// at the end; the panel repaints and shows progress from it. nullptr = none.
using EasirocProgressHook = void (*)(const EasirocProgress& progress, void* user);
void easiroc_set_progress_hook(EasirocProgressHook hook, void* user);

[[nodiscard]] int easiroc_singleADCstart(void);
// N (data words copied to retData[0..N) when N < 100, nothing copied when N
// >= 100); -1 when nothing came while draining; -2 on a header error.
[[nodiscard]] int easiroc_singleADCevent(unsigned int* retData);
[[nodiscard]] int easiroc_singleADCstop(void);

// ---- reads for the acquisition -----------------------------------------------------

enum class BoardReadStatus { Ok, Timeout, BadFrame, Oversized, LinkLost, NoLink };
struct BoardEvent {
  BoardReadStatus status = BoardReadStatus::Ok;
  int n = 0;               // data words copied (0 unless status is Ok)
  unsigned words = 0;      // the frame's word count as the header gave it
  std::uint32_t header[NofHeader] = {1, 1, 1};
};
// One frame; its data words go to retData only when the frame is whole and
// fits ESRCDATA_WORDS - 1 words, so a failed read never leaves old words
// looking like this event's.
[[nodiscard]] BoardEvent easiroc_read_event(unsigned int* retData);
// Reads and drops n frames; stops at the first failure (said in *failure).
[[nodiscard]] int easiroc_drop_events(int n, BoardReadStatus* failure);
// Drops the frames that have already arrived, without waiting for more.
int easiroc_drop_arrived();
// 0 link up, -1 not connected, -2 the board closed the connection or it failed.
[[nodiscard]] int easiroc_link_state();
// A read since the last start found the link down.
bool easiroc_link_lost();
// The acquisition says each kind of read failure once itself.
void easiroc_mute_read_errors(bool mute);

struct BoardDiscard {
  int dropped = 0;
  bool stillSending = false;  // frames kept coming until maxMs
  bool aborted = false;       // the run flag dropped
  bool linkLost = false;
};
// Reads and drops the frames the board has already sent, until none comes
// for quietMs, for at most maxMs; gives up as soon as keepGoing() is false.
[[nodiscard]] BoardDiscard easiroc_discard_pending(int quietMs, int maxMs, bool (*keepGoing)());
[[nodiscard]] int easiroc_fDAQ(const char* file_name, int MaxCycleNum);
// The last continuous read-out: frames and bytes written, and the seconds
// from the start word to the last frame read (the drain left out).
struct EasirocReadoutStats {
  long long frames = 0, bytes = 0;
  double seconds = 0;
};
EasirocReadoutStats easiroc_last_readout();
[[nodiscard]] int ContinuousADC_ver2(SOCKET socket, const char* file_name, int MaxCycleNum);
int ADCOneCycle_wHeader_ver2(SOCKET socket, std::FILE* file, int stopping);
void ADCStop(SOCKET socket);

#include "easiroc_board.h"
