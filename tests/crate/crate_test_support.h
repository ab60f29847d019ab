// Shared by the crate tests: a fake Delay that records every pause, and the
// dispatch table crate_install_handlers fills.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "backend.h"
#include "dispatch.h"

namespace crate_test {

inline std::vector<double>& delays() {
  static std::vector<double> d;
  return d;
}
inline void fake_delay(double seconds) { delays().push_back(seconds); }
inline double total_delay() {
  double t = 0;
  for (double d : delays()) t += d;
  return t;
}
inline std::map<int, ControlHandler>& handlers() {
  static std::map<int, ControlHandler> h;
  return h;
}

inline std::size_t count_of(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
  return n;
}

// Fake clock installed for the whole test; console captured.
struct DelayScope {
  DelayScope() {
    delays().clear();
    mdq::platform::set_delay_hook(fake_delay);
  }
  ~DelayScope() { mdq::platform::set_delay_hook(nullptr); }
};

}  // namespace crate_test
