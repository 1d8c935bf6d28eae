#include "monitor.h"

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <unistd.h>

#include "fd_lock.h"
#include "socket_record.h"
#include "trace_log.h"

namespace kvel {

namespace {

constexpr useconds_t monitor_period_us = 10000;

std::atomic<int> monitor_running{0};
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

void* monitor_thread_entry(void*) {
  while (monitor_running.load(std::memory_order_relaxed) != 0) {
    usleep(monitor_period_us);
    visit_records(check_record);
  }
  return nullptr;
}

}  // namespace

void start_monitor() {
  // The thread takes no signals: the program's own threads keep every signal it expects
  // (a program that blocks a signal to read it from a signalfd would otherwise be ended
  // by its default action on this thread).
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  monitor_running.store(1, std::memory_order_relaxed);
  if (pthread_create(&monitor_thread, nullptr, monitor_thread_entry, nullptr) == 0)
    monitor_pid = getpid();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void stop_monitor() {
  if (monitor_pid == 0 || monitor_pid != getpid()) return;
  monitor_running.store(0, std::memory_order_relaxed);
  pthread_join(monitor_thread, nullptr);
  monitor_pid = 0;
}

}  // namespace kvel
