// The entry points of the PCI-to-VME interface's driver library, as this
// station calls them. The simulated driver (sim/) implements the same ones.
#pragma once

#include <cstdint>

extern "C" {
// Opens a session on VMEMM module `module_number` whose cycles all use the
// address modifier `address_modifier`; the new handle goes to *handle.
using VMEinit_t = int (*)(const char* device_name, unsigned short module_number,
                          unsigned char address_modifier, int* handle);
// `count` elements of `width` bytes (1, 2 or 4) at `address`.
using VMEread_t = int (*)(int handle, std::uint32_t address, unsigned char width,
                          std::uint32_t count, void* buffer);
using VMEwrite_t = int (*)(int handle, std::uint32_t address, unsigned char width,
                           std::uint32_t count, void* buffer);
using VMEreset_t = int (*)(int handle);
using VMEclose_t = int (*)(int handle);
}

// VMEbus address modifiers of the two sessions.
constexpr unsigned char VME_AM_A24 = 0x39;  // A24 non-privileged data
constexpr unsigned char VME_AM_A32 = 0x09;  // A32 non-privileged data
