#include "interposer_init.h"

#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <unistd.h>

#include "close_release.h"
#include "epoll_set.h"
#include "fd_lock.h"
#include "handlers.h"
#include "log_files.h"
#include "monitor.h"
#include "plain_output.h"
#include "real_calls.h"
#include "socket_records.h"
#include "sys_calls.h"
#include "trace_log.h"
#include "zorvsock.h"

namespace kvel {

std::atomic<int> init_done{0};

namespace {

std::atomic<pid_t> init_owner{0};  // the thread that runs the start-up

bool tracing_disabled() {
  const char* value = getenv("NOTRACE");
  return value != nullptr && value[0] != '0';
}

void run_start_up() {
  plain_output_to_stderr();
  // Bound before the version request ends the process, so that calls made by other
  // libraries' destructors during that exit still reach the C library.
  bind_real_calls();
  if (getenv("ZORVLOAD_PRINT_VERSION") != nullptr) {
    fprintf(stderr, "Zorvload githash: %X\n", zorvsock_get_githash());
    exit(0);
  }
  if (!tracing_disabled()) setup_trace_log();
}

[[gnu::constructor(101)]] void interposer_constructor() { init_interposer(); }

// The table needs no clearing: it starts empty and its locks are statically initialised,
// so records made by calls that came before this constructor stay valid.
void after_fork_in_child() {
  release_trace_stream();
  reset_locks_after_fork();
  forget_closed_connections_after_fork();
  reset_epoll_locks_after_fork();
  adopt_records_after_fork();
}

[[gnu::constructor(102)]] void init_fd_table() {
  pthread_atfork(hold_trace_stream, release_trace_stream, after_fork_in_child);
  sys_reserve_private_range();  // before the monitor thread shares the table
  start_monitor();
}

[[gnu::destructor]] void interposer_destructor() { stop_monitor(); }

}  // namespace

void init_interposer() {
  if (init_done.load(std::memory_order_acquire) != 0) return;
  pid_t self = gettid();
  pid_t owner = 0;
  if (!init_owner.compare_exchange_strong(owner, self, std::memory_order_acq_rel)) {
    if (owner == self) return;
    while (init_done.load(std::memory_order_acquire) == 0) sched_yield();
    return;
  }
  run_start_up();
  init_done.store(1, std::memory_order_release);
}

}  // namespace kvel

ZORVLOAD_EXPORT std::string my_dummy_cpp_func() { return "dummy"; }
