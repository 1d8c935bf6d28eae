// The TX time-stamp log of a session: the card writes entry (n & mask) = {n, time}
// when it has transmitted the n-th stamped send.
#pragma once
#include <cstdint>

namespace kvel {

struct alignas(16) tx_ts_entry {
  uint64_t id;
  uint64_t time;  // seconds in bits 63..32, nanoseconds in 31..0
};

struct tx_timestamp_log {
  uint64_t size_ = 0;  // bytes mapped
  int fd_ = -1;        // the session's descriptor (owned by the session)
  volatile tx_ts_entry* entries_ = nullptr;
  uint32_t count_ = 0;  // power of two, 0 = no log
  uint32_t mask_ = 0;
  uint64_t next_id_ = 0;

  void release();  // unmaps when mapped
};

constexpr uint32_t TX_TS_MIN_ENTRIES = 16384;
constexpr uint32_t TX_TS_MAX_ENTRIES = 0x20000000;

// Entry count for a requested size, or -14 when above the maximum or negative.
int64_t tx_timestamp_log_entries(int requested);
void create_tx_timestamp_log(tx_timestamp_log& log, int dev_fd, int requested_entries);
// The time of send `id` in ns plus tx_adj_ns; 0 not yet logged, 1 entry reused.
uint64_t tx_timestamp_lookup(const tx_timestamp_log& log, uint64_t id, int32_t tx_adj_ns);

}  // namespace kvel
