#include "v1290.h"

#include <ctime>
#include <mutex>

#include "platform.h"
#include "wienvme_dll.h"

namespace {

// Waits for `bit` of the handshake register. The module's contract: a read,
// a 10 ms pause, and the count test before the bit test.
int g_handshakeTimeouts = 0;

bool handshake_wait(std::uint16_t bit) {
  int wait_count = 0;
  for (;;) {
    std::uint16_t read_buffer = 0;
    // A failed read leaves no bit set: the wait runs out and is counted.
    (void)WIENVME_read16(hHandle24, 1, V1290_MICRO_HANDSHAKE, &read_buffer);
    Delay(0.01);
    if (wait_count > 100) {
      ++g_handshakeTimeouts;
      return false;
    }
    ++wait_count;
    if (read_buffer & bit) return true;
  }
}

// A word the module never took is a handshake time-out, counted for V1290_init.
void send(int word) { (void)V1290_writeOC(&word); }


int answer() {
  int dum = 0;
  // No answer is a counted handshake time-out; the value is then 0.
  (void)V1290_readOC(&dum);
  return dum & 0xFFFF;
}

std::mutex g_readbackMu;
V1290Readback g_readback;

// One read-back line. A value the micro-controller never gave is said so:
// a 0 printed in its place would pass for a setting.
void show(V1290Readback& rb, const char* key, const char* prefix, bool hex) {
  int dum = 0;
  if (V1290_readOC(&dum) != 0) {
    con_printf("%sno answer from the TDC\n", prefix);
    rb.values.emplace_back(key, std::nullopt);
    return;
  }
  if (hex)
    con_printf("%s%04X\n", prefix, dum & 0xFFFF);
  else
    con_printf("%s%d\n", prefix, dum & 0xFFFF);
  rb.values.emplace_back(key, dum & 0xFFFF);
}

void write_register(std::uint32_t address) {
  std::uint16_t zero = 0;
  (void)WIENVME_write16(hHandle24, 1, address, &zero);  // a failure is said by the VME layer
}

}  // namespace

int V1290_writeOC(int* write_buffer) {
  if (!handshake_wait(V1290_HS_WRITE_OK)) return -1;
  std::uint16_t word = static_cast<std::uint16_t>(write_buffer ? *write_buffer : 0);
  // A word the bus refused was not sent, however ready the module was.
  if (WIENVME_write16(hHandle24, 1, V1290_MICRO, &word) != 0) return -1;
  return 0;
}

int V1290_readOC(int* return_buffer) {
  if (!handshake_wait(V1290_HS_READ_OK)) return -1;
  std::uint16_t word = 0;
  if (WIENVME_read16(hHandle24, 1, V1290_MICRO, &word) != 0) return -1;
  if (return_buffer != nullptr)
    *return_buffer = static_cast<int>((static_cast<unsigned>(*return_buffer) & 0xFFFF0000u) | word);
  return 0;
}

int V1290_init(const V1290Settings& settings) {
  g_handshakeTimeouts = 0;
  con_printf("V1290_init().");
  write_register(V1290_MODULE_RESET);
  Delay(0.1);
  con_printf(".");
  write_register(V1290_SW_CLEAR);
  Delay(0.1);
  con_printf(".");
  write_register(V1290_SW_EVENT_RESET);
  Delay(0.1);
  con_printf(".");

  send(V1290_OP_TRIGGER_MATCHING);
  send(V1290_OP_SET_WIN_WIDTH);
  send(settings.windowWidth);
  send(V1290_OP_SET_WIN_OFFSET);
  send(settings.windowOffset);
  send(V1290_OP_SET_SW_MARGIN);
  send(settings.extraMargin);
  con_printf(".");

  send(V1290_OP_EN_ALL_CH);
  for (int i = 0; i < 1; ++i) send(V1290_OP_DIS_CHANNEL + i);  // channel 0 only
  send(V1290_OP_DIS_HEAD_TRAILER);
  send(V1290_OP_READ_EVENT_SIZE);
  (void)answer();
  con_printf(".");

  send(V1290_OP_SET_DETECTION);
  send(settings.edge);
  send(V1290_OP_EN_SUB_TRG);
  con_printf(".Done\n");
  if (g_handshakeTimeouts == 0) return 0;
  con_printf("V1290_init: %d handshake(s) with the TDC timed out -- the TDC is not configured. "
             "Check the crate power, the TDC's base address and the VME driver (--driver), then "
             "press TDC init.\n",
             g_handshakeTimeouts);
  return -1;
}

void V1290_readConfig() {
  V1290Readback rb;
  rb.time = std::time(nullptr);
  send(V1290_OP_READ_EN_PATTERN);
  show(rb, "channel_enable_1", "Ch Enable 1 = ", true);
  show(rb, "channel_enable_2", "Ch Enable 2 = ", true);

  send(V1290_OP_READ_TRG_CONF);
  show(rb, "window_width", "Match window Width = ", false);
  show(rb, "window_offset", "Window Offset = ", false);
  show(rb, "extra_search_window", "Extra Search Window = ", false);
  show(rb, "reject_margin", "Reject Margin = ", false);
  show(rb, "trigger_subtraction", "Trigger Subtraction = ", false);

  send(V1290_OP_READ_EVENT_SIZE);
  show(rb, "max_hits_per_event", "TDC Maximum number of hits per event = ", false);
  send(V1290_OP_READ_DETECTION);
  show(rb, "edge", "TDC Edge type = ", false);
  send(V1290_OP_READ_RES);
  show(rb, "resolution", "TDC resolution= ", false);
  std::lock_guard lk(g_readbackMu);
  g_readback = std::move(rb);
}

V1290Readback V1290_last_readback() {
  std::lock_guard lk(g_readbackMu);
  return g_readback;
}
