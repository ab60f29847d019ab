// A driver library whose cycles do nothing: isolates the cost of the layer.
#include <cstdint>

extern "C" {
__attribute__((visibility("default"))) int VMEinit(const char*, unsigned short, unsigned char,
                                                   int* handle) {
  *handle = 1;
  return 0;
}
__attribute__((visibility("default"))) int VMEread(int, std::uint32_t, unsigned char,
                                                   std::uint32_t, void*) {
  return 0;
}
__attribute__((visibility("default"))) int VMEwrite(int, std::uint32_t, unsigned char,
                                                    std::uint32_t, void*) {
  return 0;
}
__attribute__((visibility("default"))) int VMEreset(int) { return 0; }
__attribute__((visibility("default"))) int VMEclose(int) { return 0; }
}
