// A driver library that lacks three of its five entry points.
#include <cstdint>
#include <cstring>

extern "C" {
__attribute__((visibility("default"))) int VMEinit(const char*, unsigned short, unsigned char,
                                                   int* handle) {
  *handle = 7;
  return 0;
}
__attribute__((visibility("default"))) int VMEread(int, std::uint32_t, unsigned char width,
                                                   std::uint32_t count, void* buffer) {
  std::memset(buffer, 0, std::size_t{width} * count);
  return 0;
}
}
