// The card time object and the process-wide time-stamp-counter rate.
#pragma once
#include <atomic>
#include <cstdint>

namespace kvel {

struct zorvtime {
  int fd_ = -1;
  const volatile uint64_t* page_ = nullptr;  // time module page, read-only

  int init(const char* ifname);  // 0 opened and mapped, -1 failure
  uint64_t read_time() const;    // seconds in bits 63..32, nanoseconds in 31..0
  void release();
};

// Card time register value (seconds << 32 | nanoseconds) to nanoseconds.
inline uint64_t card_time_to_ns(uint64_t t) { return (t >> 32) * 1000000000ull + (t & 0xFFFFFFFFu); }

// TSC rate in Hz, 0 until measured; set once.
extern std::atomic<uint64_t> tsc_hz;
void init_tsc_hz(int dev_fd);  // driver's rate, or calibration when it refuses
uint64_t get_tsc_hz();         // calibrates when still 0

}  // namespace kvel
