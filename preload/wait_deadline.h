// The end of a blocking wait under SO_RCVTIMEO or SO_SNDTIMEO. The clock starts at the
// first wait of a call, not at its entry, so that a call that never waits never reads
// it; the first wait follows the call's entry within microseconds.
#pragma once
#include <cstdint>
#include <ctime>

namespace kvel {

// A socket's timeout in microseconds: 0 waits without end (the kernel's {0, 0}).
// Written by setsockopt and read at the start of each wait, from any thread: relaxed
// atomics, since in libzorvload_unsafe no lock orders them.
inline uint64_t load_timeout(const uint64_t& field) {
  return __atomic_load_n(&field, __ATOMIC_RELAXED);
}
inline void store_timeout(uint64_t& field, uint64_t us) {
  __atomic_store_n(&field, us, __ATOMIC_RELAXED);
}

struct wait_deadline {
  uint64_t timeout_us;  // the socket's timeout when the call began; 0: none
  uint64_t end_ns;      // set at the first wait

  static wait_deadline of(const uint64_t& timeout_field) {
    return {load_timeout(timeout_field), 0};
  }

  // True once the wait must end with EAGAIN (EINPROGRESS for a connect).
  bool passed() {
    if (timeout_us == 0) return false;
    const uint64_t now = now_ns();
    if (end_ns == 0) end_ns = now + timeout_us * 1000;
    return now >= end_ns;
  }

  static uint64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
  }
};

}  // namespace kvel
