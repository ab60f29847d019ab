// VME bus access over the PCI-to-VME interface's driver library, loaded at
// run time. Results: the driver's status, 0 = success; an operation whose
// entry point is missing prints its failure line and returns -1.
#pragma once

#include <cstdint>

#include "pcivme_api.h"

// Sessions: A24 (every device cycle of the station) and A32.
extern int hHandle24;
extern int hHandle32;

// The loaded library (nullptr when not loaded) and its entry points (nullptr
// when missing).
extern void* DLLHandle;
extern VMEinit_t vme_init;
extern VMEread_t vme_read;
extern VMEwrite_t vme_write;
extern VMEreset_t vme_reset;
extern VMEclose_t vme_close;

// Driver library path: a station setting. The default is a library name the
// dynamic loader finds through its search path (LD_LIBRARY_PATH, ld.so.conf).
const char* wienvme_default_driver_path();
// The path WIENVME_load uses when given none; nullptr or "" restores the default.
void wienvme_set_driver_path(const char* path);
const char* wienvme_driver_path();

// Loads the library (nullptr = the configured path) and looks up its entry
// points. 0 when the library and all five entry points are there.
[[nodiscard]] int WIENVME_load(const char* module_path);
[[nodiscard]] int WIENVME_open(int* hHandle, unsigned char AddMod, const char* device_name,
                 unsigned short module_number);
[[nodiscard]] int WIENVME_open24();
[[nodiscard]] int WIENVME_open32();
// load, open24, open32; 0 whatever happened. A second start closes what
// the first one opened before loading again.
int WIENVME_start(const char* module_path);
int WIENVME_close(int hHandle);
int WIENVME_close24();
int WIENVME_close32();
// Releases the library; touches no session.
int WIENVME_unload();
// Closes the sessions still open, then unloads; 0. Safe to call twice.
int WIENVME_stop();
int WIENVME_reset();

// n elements of 1, 2 or 4 bytes at `at` (n > 1: a block transfer).
[[nodiscard]] int WIENVME_read8(int hHandle, unsigned long n, unsigned long at, void* buff);
[[nodiscard]] int WIENVME_read16(int hHandle, unsigned long n, unsigned long at, void* buff);
[[nodiscard]] int WIENVME_read32(int hHandle, unsigned long n, unsigned long at, void* buff);
[[nodiscard]] int WIENVME_write8(int hHandle, unsigned long n, unsigned long at, void* buff);
[[nodiscard]] int WIENVME_write16(int hHandle, unsigned long n, unsigned long at, void* buff);
[[nodiscard]] int WIENVME_write32(int hHandle, unsigned long n, unsigned long at, void* buff);

// Register-level access: the session by address modifier (0x09 A32, 0x39
// A24), the width by data-width code in bytes (2 or 4). Any other modifier
// or width returns 0 with no cycle.
short WIENVME_VME_R(std::uint16_t AM, std::uint16_t DW, std::uint32_t VME_Address,
                    std::uint32_t* Data);
short WIENVME_VME_W(std::uint16_t AM, std::uint16_t DW, std::uint32_t VME_Address,
                    std::uint32_t Data);
short WIENVME_VME_MR(std::uint16_t AM, std::uint16_t DW, std::uint32_t VME_Address,
                     std::uint32_t* Data);
short WIENVME_VME_MW(std::uint16_t AM, std::uint16_t DW, std::uint32_t VME_Address,
                     std::uint32_t Data);
