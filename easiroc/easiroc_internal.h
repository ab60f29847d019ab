// Receive buffer and send helpers shared by the link, the bit streams and
// the event read-out. Every receive on the connection goes through one
// buffer, so bytes read ahead (a split acknowledgement, the next frame) are
// never lost between callers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace easiroc_detail {

using Clock = std::chrono::steady_clock;

enum class RxStatus { Ok, Timeout, Closed, Error, Aborted };

// Waits until at least n bytes are buffered or the deadline passes. `abort`,
// when given, is polled while waiting (a stop request cuts the wait short).
RxStatus rx_fill(std::size_t n, Clock::time_point deadline,
                 const std::atomic<int>* abort = nullptr);
std::size_t rx_avail();
// Takes whatever has already arrived without waiting: Ok when bytes came,
// Timeout when none were there, Closed/Error when the link is down.
RxStatus rx_pull_now();
const std::uint8_t* rx_data();
void rx_consume(std::size_t n);
void rx_reset();
// A reader that goes on using bytes it has consumed (the read-out writes a
// run of back-to-back frames in one go) is called before those bytes can be
// overwritten. nullptr: consumed bytes may be reused at once.
void rx_set_reuse_hook(void (*hook)());
// errno of the last failed receive (EAGAIN for a time-out).
int rx_last_error();

// Sends all n bytes before the deadline; 0, or -1 with errno set.
int send_all(int fd, const void* data, std::size_t n, Clock::time_point deadline);
// One little-endian 32-bit word.
int send_word(int fd, std::uint32_t word);

Clock::time_point recv_deadline();
std::uint32_t le32(const std::uint8_t* p);
void pause_us(long long usec);

}  // namespace easiroc_detail
