// What the emulated eventfd and timerfd share: their place in the table, their hand-over
// to the kernel, the refusal of socket calls, and the wait of a blocking call.
#include "emulated_records.h"

#include <csignal>
#include <pthread.h>
#include <sched.h>

#include "handlers.h"
#include "real_calls.h"
#include "signals_held.h"
#include "socket_setup.h"
#include "socket_records.h"
#include "trace_log.h"

namespace kvel {

namespace {

// A signal whose handler ends the kernel's own read with EINTR: one without SA_RESTART
// (with it, the kernel goes on waiting).
bool interrupts_read(int sig) {
  struct sigaction action {};
  if (sigaction(sig, nullptr, &action) != 0 || (action.sa_flags & SA_RESTART) != 0) return false;
  return (action.sa_flags & SA_SIGINFO) != 0 ||
         (action.sa_handler != SIG_IGN && action.sa_handler != SIG_DFL);
}

// Lets in the signals that arrived while the wait held them back, so that their
// handlers run now: true when one of them interrupts a read.
bool take_signals(const sigset_t& admitted_before) {
  sigset_t pending;
  if (sigpending(&pending) != 0 || sigisemptyset(&pending)) return false;
  bool arrived = false;
  bool interrupts = false;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&pending, sig) != 1 || sigismember(&admitted_before, sig) == 1) continue;
    arrived = true;
    interrupts = interrupts || interrupts_read(sig);
  }
  if (!arrived) return false;
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &admitted_before, nullptr);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  return interrupts;
}

}  // namespace

int publish_emulated(int fd, socket_record* r, const char* name) {
  publish_record(r, fd);
  trace_line(name, "leave %d\n", fd);
  return fd;
}

namespace {

// Claims fd's slot when its record is of the kinds `wanted` accepts.
bool claim_slot_of(int fd, bool (*wanted)(const socket_record*)) {
  if (!claim_slot(fd)) return false;
  if (wanted(lookup_socket_record(fd))) return true;
  release_slot(fd);
  return false;
}

bool socket_kind(const socket_record* r) { return !emulated_kind(r); }
bool timer_kind(const socket_record* r) { return r->kind == RECORD_TIMERFD; }

}  // namespace

bool claim_socket_slot(int fd) { return claim_slot_of(fd, socket_kind); }
bool claim_timer_slot(int fd) { return claim_slot_of(fd, timer_kind); }

void hand_claimed_to_kernel(int fd) {
  if (!emulated_kind(lookup_socket_record(fd))) {
    release_slot(fd);
    return;
  }
  verbose_line("hand_to_kernel", "fd %d\n", fd);
  drop_record(fd);
}

void hand_to_kernel(int fd) {
  if (emulated_kind(lookup_socket_record(fd)) && claim_slot(fd)) hand_claimed_to_kernel(fd);
}

void hand_all_to_kernel() {
  for (int fd = 0, end = fd_table_end(); fd < end; ++fd) hand_to_kernel(fd);
}

// Signals are held back while the wait spins and let in with the slot given up, since
// a handler may well call on the same descriptor (a write to wake the loop).
int wait_emulated(data_call& c, ready_test ready, const void* context) {
  if (ready(c.fd, c.rec, context)) return wait_ready;
  const signals_held held;
  for (;;) {
    release_slot(c.fd);
    const bool interrupted = take_signals(held.saved);
    sched_yield();
    if (!reclaim_slot(c.fd, c.generation)) {
      c.held = false;
      c.rec = nullptr;
      return wait_lost;
    }
    if (interrupted) return -EINTR;
    if (ready(c.fd, c.rec, context)) return wait_ready;
  }
}

// Both kinds take eight bytes; a blocking read waits here for its kind's readiness and,
// once the record has left the slot, leaves the read to the kernel object.
long read_emulated(data_call& c, void* buf, size_t count) {
  if (count < sizeof(uint64_t)) return -EINVAL;
  const bool eventfd = c.rec->kind == RECORD_EVENTFD;
  if (c.rec->is_blocking != 0) {
    const int waited = wait_emulated(c, eventfd ? eventfd_readable : timerfd_expired, nullptr);
    if (waited == wait_lost) return kernel_result(real_read(c.fd, buf, count));
    if (waited < 0) return waited;
  }
  return eventfd ? eventfd_take(c, buf, count) : timerfd_take(c, buf, count);
}

// A timerfd takes no writes: its kernel object refuses them as Linux does.
long write_emulated(data_call& c, const void* buf, size_t count) {
  if (c.rec->kind == RECORD_EVENTFD) return eventfd_write_record(c, buf, count);
  release_slot(c.fd);
  c.held = false;
  return kernel_result(real_write(c.fd, buf, count));
}

}  // namespace kvel

using namespace kvel;

// A forked child shares every emulated descriptor's kernel object with its parent.
extern "C" pid_t vyx_fork() {
  const pid_t pid = real_fork();
  if (pid >= 0) hand_all_to_kernel();
  return pid;
}
