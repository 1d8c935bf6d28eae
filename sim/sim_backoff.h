// Adaptive back-off of a polling thread: while work keeps coming it spins; once idle
// it waits in growing steps, woken early by any of its descriptors, so that an idle
// simulator costs little processor time on a shared machine.
#pragma once
#include <poll.h>

namespace zsim {

class sim_backoff {
 public:
  void busy() { idle_rounds_ = 0; }
  // Whether the next idle round waits on the descriptors rather than pausing.
  bool will_wait() const { return idle_rounds_ >= SPIN_ROUNDS; }
  // One idle round: a pause while recently busy, else a wait on fds (may be none) of
  // at most longest_ns.
  void idle(pollfd* fds, nfds_t count, long longest_ns = LONGEST_WAIT_NS);

  static constexpr long LONGEST_WAIT_NS = 500000;
  static constexpr unsigned SPIN_ROUNDS = 256;  // idle rounds spent spinning after work

 private:
  unsigned idle_rounds_ = 0;
};

}  // namespace zsim
