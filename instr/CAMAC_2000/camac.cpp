#include "camac.h"

#include "wienvme_dll.h"

namespace {

// The controller commands are single read cycles whose data nobody uses.
void command_cycle(unsigned n, unsigned a, unsigned f) {
  std::uint16_t scratch = 0;
  // A failed cycle is said by the VME layer; these commands have no result.
  (void)WIENVME_read16(hHandle24, 1, CAMAC_address(CAMAC_CRATE, n, a, f), &scratch);
}

}  // namespace

void CAMAC_cccz(unsigned long*) { command_cycle(CAMAC_N_CC, 8, 26); }

void CAMAC_cccc(unsigned long*) { command_cycle(CAMAC_N_CC, 9, 26); }

void CAMAC_ccci(unsigned long*, unsigned long* c_sw) {
  const bool set = c_sw != nullptr && *c_sw != 0;
  command_cycle(CAMAC_N_CC_LINES, 9, set ? 26 : 24);
}

void CAMAC_cccd(unsigned long*, unsigned long* c_sw) {
  const bool enable = c_sw != nullptr && *c_sw != 0;
  command_cycle(CAMAC_N_CC_LINES, 10, enable ? 26 : 24);
}

int CAMAC_read16(unsigned c, unsigned n, unsigned a, unsigned f, std::uint16_t* data) {
  return WIENVME_read16(hHandle24, 1, CAMAC_address(c, n, a, f), data);
}

int CAMAC_write16(unsigned c, unsigned n, unsigned a, unsigned f, std::uint16_t data) {
  return WIENVME_write16(hHandle24, 1, CAMAC_address(c, n, a, f), &data);
}

int PIO_write(int value) {
  std::uint16_t word = static_cast<std::uint16_t>(value);
  return WIENVME_write16(hHandle24, 1, PIO_OUTPUT, &word);
}
