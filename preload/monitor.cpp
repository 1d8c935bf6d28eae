#include "monitor.h"

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <unistd.h>

#include "fd_lock.h"

namespace kvel {

namespace {

constexpr useconds_t monitor_period_us = 10000;

std::atomic<int> monitor_running{0};
pthread_t monitor_thread;
pid_t monitor_pid = 0;  // the process whose thread monitor_thread is; 0 before the start

// Closed hardware TCP connections get marked here once connections run over the card;
// until then no record holds a TCP handle and the pass only visits the slots.
void check_record(int, socket_record*) {}

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
