#include "sim_backoff.h"

#include <immintrin.h>

#include <algorithm>
#include <ctime>

namespace zsim {
namespace {

constexpr long FIRST_WAIT_NS = 10000;

}  // namespace

void sim_backoff::idle(pollfd* fds, nfds_t count, long longest_ns) {
  if (++idle_rounds_ <= SPIN_ROUNDS) {
    _mm_pause();
    return;
  }
  unsigned doublings = std::min(idle_rounds_ - SPIN_ROUNDS, 16u);
  long wait_ns = std::min(FIRST_WAIT_NS << doublings, longest_ns);
  timespec timeout{wait_ns / 1000000000, wait_ns % 1000000000};
  ppoll(fds, count, &timeout, nullptr);
}

}  // namespace zsim
