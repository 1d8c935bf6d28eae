#include "monitor.h"

#include <csignal>
#include <pthread.h>
#include <ctime>
#include <unistd.h>

#include "close_release.h"
#include "fd_lock.h"
#include "socket_record.h"
#include "trace_log.h"

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

// Closed, or closing on either side: the connection will carry nothing more.
// CLOSE_WAIT is not among them: the peer has ended its stream, ours still flows.
bool ended_state(int state) {
  return state == ZORVSOCK_TCP_CLOSED ||
         (state >= ZORVSOCK_TCP_LAST_ACK && state <= ZORVSOCK_TCP_TIME_WAIT);
}

// A hardware connection found ended gets its record's error, which the receive, send
// and readiness paths report; the mark stays while the record lives.
void check_record(int fd, socket_record* r) {
  if (r->kind != RECORD_TCP || r->handle == nullptr || r->listening) return;
  if (!ended_state(zorvsock_tcp_get_status(r->handle))) return;
  const uint8_t was = r->sock_error;
  r->sock_error = SOCKERR_CLOSED;
  if (was == SOCKERR_NONE)
    verbose_line("monitor_thread_entry", "Marking fd=%d tcp as SOCKERR_CLOSED\n", fd);
}

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

// After stop the thread goes on only while closed connections still deliver their data,
// as the kernel would deliver it after the process ended.
void* monitor_thread_entry(void*) {
  for (;;) {
    const bool stopping = wait_period();
    visit_records(check_record);
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
