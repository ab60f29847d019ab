// CAMAC through the VME-to-CAMAC branch driver: every cycle (crate C,
// station N, subaddress A, function F) is one 16-bit cycle on the A24
// session at an address built from C, N, A and F.
#pragma once

#include <cstdint>

constexpr std::uint32_t CAMAC_BASE = 0x800000;

constexpr std::uint32_t CAMAC_address(unsigned c, unsigned n, unsigned a, unsigned f) {
  return CAMAC_BASE + c * 0x10000u + n * 0x800u + a * 0x80u + f * 4u + 2u;
}

// The crate on the branch and the modules the station drives.
constexpr unsigned CAMAC_CRATE = 1;
constexpr unsigned CAMAC_N_PIO = 23;
constexpr unsigned CAMAC_N_CC = 28;       // crate controller: Z and C
constexpr unsigned CAMAC_N_CC_LINES = 30; // crate controller: inhibit and demand
constexpr unsigned CAMAC_N_BRANCH = 29;   // branch driver's own register (crate 0)

constexpr std::uint32_t CAMAC_BRANCH_REG = CAMAC_address(0, CAMAC_N_BRANCH, 0, 9);  // 0x80E826
constexpr std::uint32_t PIO_CLEAR = CAMAC_address(CAMAC_CRATE, CAMAC_N_PIO, 0, 9);   // 0x81B826
constexpr std::uint32_t PIO_OUTPUT = CAMAC_address(CAMAC_CRATE, CAMAC_N_PIO, 0, 16); // 0x81B842
constexpr std::uint32_t PIO_REG2 = CAMAC_address(CAMAC_CRATE, CAMAC_N_PIO, 0, 17);   // 0x81B846
constexpr std::uint32_t PIO_READ = CAMAC_address(CAMAC_CRATE, CAMAC_N_PIO, 0, 0);    // 0x81B802

// PIO output bit 0: 1 holds the trigger off (veto), 0 releases it.
constexpr int PIO_VETO = 1;

// Crate-controller commands (crate 1; c_ext is accepted and not looked at).
void CAMAC_cccz(unsigned long* c_ext);                       // dataway initialise Z
void CAMAC_cccc(unsigned long* c_ext);                       // dataway clear C
void CAMAC_ccci(unsigned long* c_ext, unsigned long* c_sw);  // inhibit set (*c_sw != 0) / remove
void CAMAC_cccd(unsigned long* c_ext, unsigned long* c_sw);  // demand enable / disable

// One 16-bit CAMAC cycle; the driver's status (0 = success).
[[nodiscard]] int CAMAC_read16(unsigned c, unsigned n, unsigned a, unsigned f, std::uint16_t* data);
[[nodiscard]] int CAMAC_write16(unsigned c, unsigned n, unsigned a, unsigned f, std::uint16_t data);

// The PIO output register (F16): `value` 1 = veto on, 0 = veto off.
[[nodiscard]] int PIO_write(int value);
