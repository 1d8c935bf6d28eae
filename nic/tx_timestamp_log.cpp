#include "tx_timestamp_log.h"

#include <emmintrin.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "zorvtime.h"
#include "plain_output.h"

namespace kvel {

namespace {

constexpr int64_t ERR_FAULT = -14;

// The card writes an entry while the application may read it: one aligned 16-byte
// load sees the id and the time of one write, never half of two. The asm keeps the
// compiler from splitting the load or reusing an earlier one.
tx_ts_entry load_entry(const volatile tx_ts_entry* e) {
  __m128i v;
  asm volatile("movdqa %1, %0" : "=x"(v) : "m"(*const_cast<const tx_ts_entry*>(e)));
  return {uint64_t(_mm_cvtsi128_si64(v)), uint64_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)))};
}

}  // namespace

int64_t tx_timestamp_log_entries(int requested) {
  uint32_t n = uint32_t(requested);  // a negative count is above the maximum
  if (n > TX_TS_MAX_ENTRIES) return ERR_FAULT;
  if (n < TX_TS_MIN_ENTRIES) return TX_TS_MIN_ENTRIES;
  return std::bit_ceil(n);
}

void create_tx_timestamp_log(tx_timestamp_log& log, int dev_fd, int requested_entries) {
  if (requested_entries <= 0) return;
  if (log.entries_) {
    // The card goes on writing by the mapped geometry: a new size or mask would make
    // lookups index past the mapping or into the wrong entries.
    fputs("Warning: buffer already created for log" "\n", kvel::plain_output());
    fflush(kvel::plain_output());
    return;
  }
  log.size_ = uint64_t(requested_entries) * sizeof(tx_ts_entry);
  log.fd_ = dev_fd;
  log.count_ = uint32_t(requested_entries);
  log.mask_ = log.count_ - 1;
  long page = sysconf(_SC_PAGESIZE);
  if (log.size_ % uint64_t(page) != 0) {
    fprintf(kvel::plain_output(), "The size of the log (%lu) is not a a multiple of page size %ld bytes\n",
           (unsigned long)log.size_, page);
    fflush(kvel::plain_output());
    return;
  }
  void* p = kvel_dev_mmap(dev_fd, log.size_, PROT_READ | PROT_WRITE, KVEL_MMAP_TX_TIMESTAMPS);
  if (p == MAP_FAILED) {
    fprintf(kvel::plain_output(), "Failed to mmap memory: %s", strerror(errno));
    fflush(kvel::plain_output());
    return;
  }
  log.entries_ = static_cast<volatile tx_ts_entry*>(p);
}

uint64_t tx_timestamp_lookup(const tx_timestamp_log& log, uint64_t id, int32_t tx_adj_ns) {
  if (log.count_ == 0 || !log.entries_) {
    fputs("Error: Trying to read timestamps from uninitialized log" "\n", kvel::plain_output());
    return 0;
  }
  tx_ts_entry e = load_entry(&log.entries_[id & log.mask_]);
  if (e.id == id) {
    if (e.id == 0 && e.time == 0) return 0;  // the zeroed start state, not a stamp
    return card_time_to_ns(e.time) + uint64_t(int64_t(tx_adj_ns));
  }
  return e.id > id ? 1 : 0;  // reused by a later send, or not written yet
}

void tx_timestamp_log::release() {
  if (entries_) kvel_dev_munmap(const_cast<tx_ts_entry*>(entries_), size_);
  entries_ = nullptr;
  size_ = 0;
  count_ = 0;
  mask_ = 0;
}

}  // namespace kvel
