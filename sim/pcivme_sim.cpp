// The simulated PCI-to-VME driver library: the five entry points the station
// looks up by name, answered by the simulated crate in libmdq_simstand.so.
#include <cstdint>

#include "pcivme_api.h"
#include "sim_crate.h"

extern "C" {

__attribute__((visibility("default"))) int VMEinit(const char* device_name,
                                                   unsigned short module_number,
                                                   unsigned char address_modifier, int* handle) {
  return mdq::sim::simcrate_VMEinit(device_name, module_number, address_modifier, handle);
}

__attribute__((visibility("default"))) int VMEread(int handle, std::uint32_t address,
                                                   unsigned char width, std::uint32_t count,
                                                   void* buffer) {
  return mdq::sim::simcrate_VMEread(handle, address, width, count, buffer);
}

__attribute__((visibility("default"))) int VMEwrite(int handle, std::uint32_t address,
                                                    unsigned char width, std::uint32_t count,
                                                    void* buffer) {
  return mdq::sim::simcrate_VMEwrite(handle, address, width, count, buffer);
}

__attribute__((visibility("default"))) int VMEreset(int handle) {
  return mdq::sim::simcrate_VMEreset(handle);
}

__attribute__((visibility("default"))) int VMEclose(int handle) {
  return mdq::sim::simcrate_VMEclose(handle);
}

}  // extern "C"

// The signatures must be the ones the VME layer calls through.
[[maybe_unused]] static constexpr VMEinit_t kInit = &VMEinit;
[[maybe_unused]] static constexpr VMEread_t kRead = &VMEread;
[[maybe_unused]] static constexpr VMEwrite_t kWrite = &VMEwrite;
[[maybe_unused]] static constexpr VMEreset_t kReset = &VMEreset;
[[maybe_unused]] static constexpr VMEclose_t kClose = &VMEclose;
