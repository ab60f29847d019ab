// CAEN V1290 multi-hit TDC: register map, the micro-controller protocol,
// initialisation from the panel's settings and the configuration read-back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

constexpr std::uint32_t V1290_BASE = 0x44440000;
constexpr std::uint32_t V1290_OUTPUT_BUFFER = V1290_BASE + 0x0000;  // D32 read
constexpr std::uint32_t V1290_STATUS = V1290_BASE + 0x1002;         // D16, bit 0 = data ready
constexpr std::uint32_t V1290_MODULE_RESET = V1290_BASE + 0x1014;   // D16 write
constexpr std::uint32_t V1290_SW_CLEAR = V1290_BASE + 0x1016;       // D16 write
constexpr std::uint32_t V1290_SW_EVENT_RESET = V1290_BASE + 0x1018; // D16 write
constexpr std::uint32_t V1290_EVENT_COUNTER = V1290_BASE + 0x101C;  // D32 read
constexpr std::uint32_t V1290_EVENT_STORED = V1290_BASE + 0x1020;   // D16 read
constexpr std::uint32_t V1290_MICRO = V1290_BASE + 0x102E;          // D16 read/write
constexpr std::uint32_t V1290_MICRO_HANDSHAKE = V1290_BASE + 0x1030; // D16 read

constexpr std::uint16_t V1290_STATUS_DATA_READY = 0x0001;
constexpr std::uint16_t V1290_HS_WRITE_OK = 0x0001;
constexpr std::uint16_t V1290_HS_READ_OK = 0x0002;

// Micro-controller opcodes the station sends.
enum : std::uint16_t {
  V1290_OP_TRIGGER_MATCHING = 0x0000,
  V1290_OP_SET_WIN_WIDTH = 0x1000,
  V1290_OP_SET_WIN_OFFSET = 0x1100,
  V1290_OP_SET_SW_MARGIN = 0x1200,
  V1290_OP_EN_SUB_TRG = 0x1400,
  V1290_OP_READ_TRG_CONF = 0x1600,
  V1290_OP_SET_DETECTION = 0x2200,
  V1290_OP_READ_DETECTION = 0x2300,
  V1290_OP_READ_RES = 0x2600,
  V1290_OP_DIS_HEAD_TRAILER = 0x3100,
  V1290_OP_READ_EVENT_SIZE = 0x3400,
  V1290_OP_DIS_CHANNEL = 0x4100,  // + channel
  V1290_OP_EN_ALL_CH = 0x4200,
  V1290_OP_READ_EN_PATTERN = 0x4500,
};

// Handshake reads before giving up: 101 tested, the 102nd ends the wait
// (10 ms apart, about 1.02 s).
constexpr int V1290_HANDSHAKE_READS = 102;

// 0 sent / read, -1 when the handshake bit never came or the bus cycle failed.
[[nodiscard]] int V1290_writeOC(int* write_buffer);
[[nodiscard]] int V1290_readOC(int* return_buffer);
// The panel's TDC settings as the module takes them.
struct V1290Settings {
  int windowWidth = 0;
  int windowOffset = 0;
  int extraMargin = 0;
  int edge = 0;
};
// 0, or -1 when the micro-controller did not take every word (said on the
// console with what to check).
[[nodiscard]] int V1290_init(const V1290Settings& settings);
void V1290_readConfig();

// The configuration as the last read-back gave it, in the order it is read
// (a value the module did not answer is empty); time 0 when never read.
struct V1290Readback {
  std::int64_t time = 0;
  std::vector<std::pair<std::string, std::optional<int>>> values;
};
V1290Readback V1290_last_readback();
