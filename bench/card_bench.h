// What the benchmarks that drive the card share: the port and peer of the launcher,
// the clock they time with, the wait (never timed) for the card to read everything
// written into a TX window, and the timing of a burst of sends.
#pragma once
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>

#include "tx_pio.h"

namespace card_bench {

using clock_type = std::chrono::steady_clock;

constexpr const char* IFNAME = "kvel0";
constexpr uint32_t PEER_IP = 0xC6120002;  // 198.18.0.2, the Linux peer of kvel0
constexpr int KERNEL_BURST = 32;          // sends per timed burst on a kernel socket

// How long the card, or the simulator standing in for it, may take to catch up.
constexpr auto CARD_TIMEOUT = std::chrono::seconds(2);

inline double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// The card has read every line written so far (false when it has not within
// CARD_TIMEOUT).
inline bool window_drained(const kvel::tx_pio& tx) {
  const uint32_t writer = uint32_t(tx.tx_offset_ >> 12) << 16 |
                          uint32_t((tx.tx_offset_ & 0xfff) / kvel::TX_LINE_BYTES);
  const auto deadline = clock_type::now() + CARD_TIMEOUT;
  while (*tx.fdb_ != writer)
    if (clock_type::now() > deadline) return false;
  return true;
}

// Times `burst` calls of send_one (true when the call did its work) and books the time
// per call as the iteration's; false as soon as a call fails.
template <typename Send>
bool timed_burst(benchmark::State& state, int burst, Send send_one) {
  const auto t0 = clock_type::now();
  bool ok = true;
  for (int i = 0; i < burst && ok; ++i) ok = send_one();
  state.SetIterationTime(seconds_since(t0) / burst);
  return ok;
}

}  // namespace card_bench
