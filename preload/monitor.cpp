#include "monitor.h"

#include <csignal>
#include <pthread.h>
#include <ctime>
#include <unistd.h>

#include "close_release.h"

namespace kvel {

namespace {

constexpr long monitor_period_ns = 10'000'000;

// The pause between passes is a timed wait that stop_monitor cuts short, so that the end
// of the process never waits for it.
pthread_mutex_t wake_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t wake;          // made once by start_monitor, on the monotonic clock
bool stop_requested = false;  // written by start and stop, read by the thread; wake_lock
pthread_t monitor_thread;
pid_t monitor_pid = 0;  // the process whose thread monitor_thread is; 0 before the start

// True once stop is asked.
bool wait_period() {
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_nsec += monitor_period_ns;
  if (until.tv_nsec >= 1'000'000'000) {
    until.tv_nsec -= 1'000'000'000;
    ++until.tv_sec;
  }
  pthread_mutex_lock(&wake_lock);
  if (!stop_requested) pthread_cond_timedwait(&wake, &wake_lock, &until);
  const bool stopping = stop_requested;
  pthread_mutex_unlock(&wake_lock);
  return stopping;
}

// The thread releases the connections that close left delivering their data once the
// peer has it all; it takes no descriptor's slot, so no call ever waits for it. After
// stop it goes on only while such connections still deliver, as the kernel would deliver
// their data after the process ended.
void* monitor_thread_entry(void*) {
  for (;;) {
    const bool stopping = wait_period();
    if (!release_closed_connections() && stopping) return nullptr;
  }
}

void make_wake_condition() {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&wake, &attr);
  pthread_condattr_destroy(&attr);
}

}  // namespace

void start_monitor() {
  // The thread takes no signals: the program's own threads keep every signal it expects
  // (a program that blocks a signal to read it from a signalfd would otherwise be ended
  // by its default action on this thread).
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  make_wake_condition();
  if (pthread_create(&monitor_thread, nullptr, monitor_thread_entry, nullptr) == 0)
    monitor_pid = getpid();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void stop_monitor() {
  if (monitor_pid == 0 || monitor_pid != getpid()) return;
  pthread_mutex_lock(&wake_lock);
  stop_requested = true;
  pthread_cond_signal(&wake);
  pthread_mutex_unlock(&wake_lock);
  pthread_join(monitor_thread, nullptr);
  monitor_pid = 0;
}

}  // namespace kvel
