#include "wait_signals.h"

#include <cerrno>
#include <poll.h>
#include <pthread.h>

#include "real_calls.h"

namespace kvel {

namespace {

// Whether any pending signal that the caller's mask admits runs a handler that does not
// restart calls (any handler when `timed`), as the kernel decides for its own calls.
bool interrupts(const sigset_t& pending, const sigset_t& admitted_mask, bool timed, bool* any) {
  bool stops = false;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&pending, sig) != 1 || sigismember(&admitted_mask, sig) == 1) continue;
    *any = true;
    struct sigaction how {};
    if (sigaction(sig, nullptr, &how) != 0) continue;
    const bool handler = (how.sa_flags & SA_SIGINFO) != 0 ||
                         (how.sa_handler != SIG_DFL && how.sa_handler != SIG_IGN);
    if (handler && (timed || (how.sa_flags & SA_RESTART) == 0)) stops = true;
  }
  return stops;
}

}  // namespace

int wait_signals::take(bool timed) {
  if (!holding) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &saved);
    holding = true;
    return 0;
  }
  sigset_t pending;
  if (sigpending(&pending) != 0) return 0;
  bool any = false;
  const bool stops = interrupts(pending, saved, timed, &any);
  if (!any) return 0;
  // The handlers run inside this call, under the caller's own mask.
  timespec zero{};
  real_ppoll(nullptr, nfds_t(0), &zero, &saved);
  return stops ? -EINTR : 0;
}

void wait_signals::end() {
  if (holding) pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  holding = false;
}

}  // namespace kvel
