// Helpers of the time-stamp card tests: the host's clock, which the simulated card's
// clock follows, and the wait for a stamped send's log entry.
#pragma once
#include <time.h>

#include <chrono>
#include <cstdint>

#include "zorvsock.h"

namespace zt {

inline int64_t host_ns() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The time stamp of send `id`, once the card has logged it (up to 3 s); 0 when it never is.
inline uint64_t wait_stamp(zorvsock_handle* h, uint64_t id) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  uint64_t t;
  do t = zorvsock_get_tx_timestamp(h, id);
  while (t == 0 && std::chrono::steady_clock::now() < deadline);
  return t;
}

}  // namespace zt
