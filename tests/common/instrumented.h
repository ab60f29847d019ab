// Sanitizer builds run the same tests to find races and memory faults; their
// instrumentation slows the code by an order of magnitude (atomics far more),
// so tests that bound speed relax those bounds there, and only there.
#pragma once

namespace mdq::test {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr bool kInstrumented = true;
inline constexpr double kSlowdown = 20;
#else
inline constexpr bool kInstrumented = false;
inline constexpr double kSlowdown = 1;
#endif
}  // namespace mdq::test
