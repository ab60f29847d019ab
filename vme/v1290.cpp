#include "v1290.h"

#include "mdq_ui.h"
#include "platform.h"
#include "wienvme_dll.h"

namespace {

// Waits for `bit` of the handshake register. The module's contract: a read,
// a 10 ms pause, and the count test before the bit test.
bool handshake_wait(std::uint16_t bit) {
  int wait_count = 0;
  for (;;) {
    std::uint16_t read_buffer = 0;
    WIENVME_read16(hHandle24, 1, V1290_MICRO_HANDSHAKE, &read_buffer);
    Delay(0.01);
    if (wait_count > 100) return false;
    ++wait_count;
    if (read_buffer & bit) return true;
  }
}

void send(int word) { V1290_writeOC(&word); }

void send_panel_value(int control) {
  int value = 0;
  GetCtrlVal(p1h, control, &value);
  V1290_writeOC(&value);
}

int answer() {
  int dum = 0;
  V1290_readOC(&dum);
  return dum & 0xFFFF;
}

void write_register(std::uint32_t address) {
  std::uint16_t zero = 0;
  WIENVME_write16(hHandle24, 1, address, &zero);
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

void V1290_init() {
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
  send_panel_value(P1_TDC_WINDOW_WIDTH);
  send(V1290_OP_SET_WIN_OFFSET);
  send_panel_value(P1_TDC_WINDOW_OFFSET);
  send(V1290_OP_SET_SW_MARGIN);
  send_panel_value(P1_TDC_EXTRA_MARGIN);
  con_printf(".");

  send(V1290_OP_EN_ALL_CH);
  for (int i = 0; i < 1; ++i) send(V1290_OP_DIS_CHANNEL + i);  // channel 0 only
  send(V1290_OP_DIS_HEAD_TRAILER);
  send(V1290_OP_READ_EVENT_SIZE);
  (void)answer();
  con_printf(".");

  send(V1290_OP_SET_DETECTION);
  send_panel_value(P1_TDC_EDGE);
  send(V1290_OP_EN_SUB_TRG);
  con_printf(".Done\n");
}

void V1290_readConfig() {
  send(V1290_OP_READ_EN_PATTERN);
  con_printf("Ch Enable 1 = %04X\n", answer());
  con_printf("Ch Enable 2 = %04X\n", answer());

  send(V1290_OP_READ_TRG_CONF);
  con_printf("Match window Width = %d\n", answer());
  con_printf("Window Offset = %d\n", answer());
  con_printf("Extra Search Window = %d\n", answer());
  con_printf("Reject Margin = %d\n", answer());
  con_printf("Trigger Subtraction = %d\n", answer());

  send(V1290_OP_READ_EVENT_SIZE);
  con_printf("TDC Maximum number of hits per event = %d\n", answer());
  send(V1290_OP_READ_DETECTION);
  con_printf("TDC Edge type = %d\n", answer());
  send(V1290_OP_READ_RES);
  con_printf("TDC resolution= %d\n", answer());
}
