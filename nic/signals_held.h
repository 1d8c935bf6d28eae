// Every signal held back on the calling thread for the life of the object, the previous
// mask restored at its end.
//
// The library's own threads are started inside one, so they inherit a mask that takes
// no signals: a process-wide signal (an interval timer's SIGALRM, a kill) must reach the
// program's threads, whose waits it is meant to end, not a worker that would run the
// handler where nobody waits for it.
#pragma once
#include <csignal>
#include <pthread.h>

namespace kvel {

struct signals_held {
  sigset_t saved;

  signals_held() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &saved);
  }
  ~signals_held() { pthread_sigmask(SIG_SETMASK, &saved, nullptr); }
  signals_held(const signals_held&) = delete;
  signals_held& operator=(const signals_held&) = delete;
};

}  // namespace kvel
