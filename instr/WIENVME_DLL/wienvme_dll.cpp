#include "wienvme_dll.h"

#include <dlfcn.h>

#include <string>

#include "platform.h"

int hHandle24 = 0;
int hHandle32 = 0;

void* DLLHandle = nullptr;
VMEinit_t vme_init = nullptr;
VMEread_t vme_read = nullptr;
VMEwrite_t vme_write = nullptr;
VMEreset_t vme_reset = nullptr;
VMEclose_t vme_close = nullptr;

namespace {

// Sessions this layer opened and has not closed yet. Stop closes both
// sessions of a started layer (a failed open included, so its close is
// said too); a second stop closes nothing.
bool open24 = false;
bool open32 = false;
bool started = false;

std::string& configured_path() {
  static std::string path;
  return path;
}

template <typename Fn>
Fn lookup(const char* name) {
  dlerror();
  void* sym = dlsym(DLLHandle, name);
  if (const char* err = dlerror(); err != nullptr || sym == nullptr) {
    con_printf("VME driver entry point \"%s\" not found: %s\n", name,
               err ? err : "null symbol");
    return nullptr;
  }
  return reinterpret_cast<Fn>(sym);
}

int transfer_read(const char* fail_fmt, unsigned char width, int hHandle, unsigned long n,
                  unsigned long at, void* buff) {
  int status = -1;
  if (vme_read != nullptr && (buff != nullptr || n == 0))
    status = vme_read(hHandle, static_cast<std::uint32_t>(at), width,
                      static_cast<std::uint32_t>(n), buff);
  if (status != 0) con_printf(fail_fmt, at);
  return status;
}

int transfer_write(const char* fail_fmt, unsigned char width, int hHandle, unsigned long n,
                   unsigned long at, void* buff) {
  int status = -1;
  if (vme_write != nullptr && (buff != nullptr || n == 0))
    status = vme_write(hHandle, static_cast<std::uint32_t>(at), width,
                       static_cast<std::uint32_t>(n), buff);
  if (status != 0) con_printf(fail_fmt, at);
  return status;
}

}  // namespace

const char* wienvme_default_driver_path() { return "libpcivme_ni.so"; }

void wienvme_set_driver_path(const char* path) { configured_path() = path ? path : ""; }

const char* wienvme_driver_path() {
  return configured_path().empty() ? wienvme_default_driver_path() : configured_path().c_str();
}

int WIENVME_load(const char* module_path) {
  if (DLLHandle != nullptr) WIENVME_unload();
  const char* path = (module_path != nullptr && *module_path) ? module_path : wienvme_driver_path();
  DLLHandle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (DLLHandle == nullptr) {
    const char* err = dlerror();
    con_printf("Failed to load the VME driver library: %s\n", err ? err : path);
    con_printf("The crate cannot be reached; check the driver path (--driver).\n");
    return -1;
  }
  vme_init = lookup<VMEinit_t>("VMEinit");
  vme_read = lookup<VMEread_t>("VMEread");
  vme_write = lookup<VMEwrite_t>("VMEwrite");
  vme_reset = lookup<VMEreset_t>("VMEreset");
  vme_close = lookup<VMEclose_t>("VMEclose");
  const bool complete = vme_init && vme_read && vme_write && vme_reset && vme_close;
  return complete ? 0 : -1;
}

int WIENVME_open(int* hHandle, unsigned char AddMod, const char* device_name,
                 unsigned short module_number) {
  if (device_name == nullptr) {
    switch (GetCurrentPlatform()) {
      case 3: device_name = "\\\\.\\PCIVME:\\VMEMMxx"; break;
      case 2: device_name = "\\\\.\\C:\\windows\\system\\VWIENVMED.vxd"; break;
      case 0: device_name = "/dev/pcivme_0"; break;
      default: device_name = ""; break;
    }
  }
  int status = -1;
  if (vme_init != nullptr && hHandle != nullptr)
    status = vme_init(device_name, module_number, AddMod, hHandle);
  if (status != 0)
    con_printf("Can't open interface \"%s\" to VMEMM-module \"%d\"!\n", device_name,
               static_cast<int>(module_number));
  return status;
}

int WIENVME_open24() {
  int status = WIENVME_open(&hHandle24, VME_AM_A24, nullptr, 1);
  open24 = status == 0;
  return status;
}

int WIENVME_open32() {
  int status = WIENVME_open(&hHandle32, VME_AM_A32, nullptr, 1);
  open32 = status == 0;
  return status;
}

int WIENVME_start(const char* module_path) {
  if (started || open24 || open32 || DLLHandle != nullptr) WIENVME_stop();
  started = true;
  // Each step says its own failure; the station starts either way and its
  // crate commands then fail one by one, each saying so.
  (void)WIENVME_load(module_path);
  (void)WIENVME_open24();
  (void)WIENVME_open32();
  return 0;
}

int WIENVME_close(int hHandle) {
  con_printf("hHandle %d\n", hHandle);
  int status = vme_close != nullptr ? vme_close(hHandle) : -1;
  if (status != 0) con_printf("Can't close interface!\n");
  return status;
}

int WIENVME_close24() {
  int status = WIENVME_close(hHandle24);
  open24 = false;
  return status;
}

int WIENVME_close32() {
  int status = WIENVME_close(hHandle32);
  open32 = false;
  return status;
}

int WIENVME_unload() {
  vme_init = nullptr;
  vme_read = nullptr;
  vme_write = nullptr;
  vme_reset = nullptr;
  vme_close = nullptr;
  if (DLLHandle != nullptr) {
    dlclose(DLLHandle);
    DLLHandle = nullptr;
  }
  return 0;
}

int WIENVME_stop() {
  // Both sessions are closed (and said) whether or not their open worked;
  // a second stop has nothing left to close.
  if (started || open24) WIENVME_close24();
  if (started || open32) WIENVME_close32();
  started = false;
  WIENVME_unload();
  return 0;
}

int WIENVME_reset() {
  int status = vme_reset != nullptr ? vme_reset(hHandle24) : -1;
  if (status != 0) con_printf("Can't reset interface!\n");
  return status;
}

int WIENVME_read8(int h, unsigned long n, unsigned long at, void* buff) {
  return transfer_read("D8 read at 0x%lX failed!\n", 1, h, n, at, buff);
}
int WIENVME_read16(int h, unsigned long n, unsigned long at, void* buff) {
  return transfer_read("D16 read at 0x%lX failed!\n", 2, h, n, at, buff);
}
int WIENVME_read32(int h, unsigned long n, unsigned long at, void* buff) {
  return transfer_read("D32 read at 0x%lX failed!\n", 4, h, n, at, buff);
}
int WIENVME_write8(int h, unsigned long n, unsigned long at, void* buff) {
  return transfer_write("D8 write at 0x%lX failed!\n", 1, h, n, at, buff);
}
int WIENVME_write16(int h, unsigned long n, unsigned long at, void* buff) {
  return transfer_write("D16 write at 0x%lX failed!\n", 2, h, n, at, buff);
}
int WIENVME_write32(int h, unsigned long n, unsigned long at, void* buff) {
  return transfer_write("D32 write at 0x%lX failed!\n", 4, h, n, at, buff);
}

short WIENVME_VME_R(std::uint16_t AM, std::uint16_t DW, std::uint32_t VME_Address,
                    std::uint32_t* Data) {
  int handle;
  if (AM == VME_AM_A32) handle = hHandle32;
  else if (AM == VME_AM_A24) handle = hHandle24;
  else return 0;
  if (Data == nullptr) return -1;
  if (DW == 2) {
    std::uint16_t word = 0;
    int status = WIENVME_read16(handle, 1, VME_Address, &word);
    if (status == 0) *Data = (*Data & 0xFFFF0000u) | word;
    return static_cast<short>(status);
  }
  if (DW == 4) return static_cast<short>(WIENVME_read32(handle, 1, VME_Address, Data));
  return 0;
}

short WIENVME_VME_W(std::uint16_t AM, std::uint16_t DW, std::uint32_t VME_Address,
                    std::uint32_t Data) {
  int handle;
  if (AM == VME_AM_A32) handle = hHandle32;
  else if (AM == VME_AM_A24) handle = hHandle24;
  else return 0;
  if (DW == 2) {
    std::uint16_t low = static_cast<std::uint16_t>(Data & 0xFFFFu);
    return static_cast<short>(WIENVME_write16(handle, 1, VME_Address, &low));
  }
  if (DW == 4) return static_cast<short>(WIENVME_write32(handle, 1, VME_Address, &Data));
  return 0;
}

short WIENVME_VME_MR(std::uint16_t AM, std::uint16_t DW, std::uint32_t VME_Address,
                     std::uint32_t* Data) {
  return WIENVME_VME_R(AM, DW, VME_Address, Data);
}

short WIENVME_VME_MW(std::uint16_t AM, std::uint16_t DW, std::uint32_t VME_Address,
                     std::uint32_t Data) {
  return WIENVME_VME_W(AM, DW, VME_Address, Data);
}
