#include "sim_backoff.h"

#include <immintrin.h>

#include <algorithm>
#include <ctime>

namespace zsim {
namespace {

constexpr unsigned SPIN_ROUNDS = 256;  // idle rounds spent spinning after work
constexpr long FIRST_WAIT_NS = 10000;
constexpr long LONGEST_WAIT_NS = 500000;

}  // namespace

void sim_backoff::idle(pollfd* fds, nfds_t count) {
  if (++idle_rounds_ <= SPIN_ROUNDS) {
    _mm_pause();
    return;
  }
  unsigned doublings = std::min(idle_rounds_ - SPIN_ROUNDS, 16u);
  long wait_ns = std::min(FIRST_WAIT_NS << doublings, LONGEST_WAIT_NS);
  timespec timeout{0, wait_ns};
  ppoll(fds, count, &timeout, nullptr);
}

}  // namespace zsim
