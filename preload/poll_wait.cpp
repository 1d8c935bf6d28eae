// The poll wait. Each sweep tests every card member with the card's readiness calls,
// then asks the kernel once, without waiting, about all the other members. A wait that
// has card members spins over sweeps; one without any sleeps in the kernel's own call,
// as nothing but the kernel can make it ready. The emulated eventfds and timerfds are
// the kernel's members: their kernel objects are kept in step with every write, read
// and setting, so a wait on them alone sleeps too.
#include "poll_wait.h"

#include <cerrno>
#include <cstdlib>
#include <sys/resource.h>

#include "emulated_records.h"
#include "fd_lock.h"
#include "handlers.h"
#include "readiness.h"
#include "real_calls.h"
#include "signals_held.h"
#include "trace_log.h"

namespace kvel {

namespace {

// The members that the kernel answers, copied out of the caller's array, with the index
// of the entry each came from. Small calls keep them on the stack.
struct kernel_members {
  static constexpr nfds_t on_stack = 256;
  pollfd* entries;
  nfds_t* origin;
  nfds_t count;
  bool managed;  // a member had a record in the sweep: only the sweeps can see it ready
  bool missed;   // a member was held by another call through the sweep
  bool patient;  // the sweep waits for held members (the last look at the deadline)
  pollfd stack_entries[on_stack];
  nfds_t stack_origin[on_stack];

  bool reserve(nfds_t nfds) {
    entries = stack_entries;
    origin = stack_origin;
    if (nfds <= on_stack) return true;
    entries = static_cast<pollfd*>(malloc(nfds * sizeof(pollfd)));
    origin = static_cast<nfds_t*>(malloc(nfds * sizeof(nfds_t)));
    return entries != nullptr && origin != nullptr;
  }
  void release() {
    if (entries == stack_entries) return;
    free(entries);
    free(origin);
  }
  void add(const pollfd& p, nfds_t from) {
    entries[count] = pollfd{p.fd, p.events, 0};
    origin[count++] = from;
  }
};

slot_claim claim_member(int fd, bool patient) {
  if (!patient) return try_claim_slot(fd);
  return claim_slot(fd) ? slot_claim::claimed : slot_claim::empty;
}

// One entry of a sweep: true when a managed member has events. A member that another
// call holds counts as not ready this time and is tested again in the next sweep.
bool test_entry(pollfd& p, nfds_t index, kernel_members& k) {
  p.revents = 0;
  if (p.fd < 0) return false;
  switch (claim_member(p.fd, k.patient)) {
    case slot_claim::empty:
      k.add(p, index);
      return false;
    case slot_claim::busy:
      k.managed = true;
      k.missed = true;
      return false;
    case slot_claim::claimed:
      break;
  }
  // A close in libzorvload_unsafe empties the slot without waiting for the claim: the
  // kernel then answers for the number.
  socket_record* r = lookup_socket_record(p.fd);
  if (r == nullptr || kernel_answers(r) || emulated_kind(r)) {
    k.add(p, index);
  } else {
    k.managed = true;
    p.revents = short(record_events(r) & (p.events | POLLERR | POLLHUP));
  }
  release_slot(p.fd);
  return p.revents != 0;
}

// The kernel's answer for its members, without waiting; with `always` the call is made
// also when it has none, so that a signal that mask admits is taken (and ends the wait).
int ask_kernel(pollfd* fds, kernel_members& k, const sigset_t* mask, bool always) {
  if (k.count == 0 && !always) return 0;
  timespec zero{};
  const int n = real_ppoll(k.entries, k.count, &zero, mask);
  if (n < 0) return -errno;
  for (nfds_t i = 0; i < k.count; ++i) fds[k.origin[i]].revents = k.entries[i].revents;
  return n;
}

int sweep(pollfd* fds, nfds_t nfds, kernel_members& k, const sigset_t* mask, bool always) {
  k.count = 0;
  k.managed = false;
  k.missed = false;
  int ready = 0;
  for (nfds_t i = 0; i < nfds; ++i) ready += test_entry(fds[i], i, k) ? 1 : 0;
  const int kernel = ask_kernel(fds, k, mask, always);
  return kernel < 0 ? kernel : ready + kernel;
}

// While a wait spins, every signal is held back and taken only inside the kernel call of
// each sweep, under the mask the wait admits: a handler that runs then ends the wait with
// EINTR, as the kernel's poll does, instead of running unseen between two sweeps.
struct signal_gate {
  signals_held held;
  sigset_t admit;

  explicit signal_gate(const sigset_t* sigmask) : admit(sigmask != nullptr ? *sigmask : held.saved) {}
};

int spin(pollfd* fds, nfds_t nfds, kernel_members& k, const poll_deadline& d,
         const sigset_t* sigmask) {
  const signal_gate gate(sigmask);
  int ready = 0;
  do ready = sweep(fds, nfds, k, &gate.admit, true);
  while (ready == 0 && !deadline_passed(d));
  return ready;
}

int sleep_in_kernel(pollfd* fds, nfds_t nfds, const poll_deadline& d, const sigset_t* sigmask) {
  timespec left = d.set ? time_left(d) : timespec{};
  const int n = real_ppoll(fds, nfds, d.set ? &left : nullptr, sigmask);
  return n < 0 ? -errno : n;
}

}  // namespace

nfds_t descriptor_limit(nfds_t nfds) {
  rlimit limit{};
  if (nfds <= 1024 || getrlimit(RLIMIT_NOFILE, &limit) != 0 || nfds <= limit.rlim_cur) return nfds;
  return nfds_t(limit.rlim_cur);
}

int wait_poll(pollfd* fds, nfds_t nfds, const poll_deadline& d, const sigset_t* sigmask) {
  kernel_members k;
  if (!k.reserve(nfds)) {
    k.release();
    return -ENOMEM;
  }
  k.patient = false;
  int ready = sweep(fds, nfds, k, sigmask, false);
  if (ready == 0 && !deadline_passed(d))
    ready = k.managed ? spin(fds, nfds, k, d, sigmask) : sleep_in_kernel(fds, nfds, d, sigmask);
  // At the deadline a member that another call held through the last sweep is waited
  // for: such holds are short (the monitor's look, a blocking call between its polls),
  // and a zero timeout must not report a ready socket as not ready because of them.
  if (ready == 0 && k.missed) {
    k.patient = true;
    ready = sweep(fds, nfds, k, sigmask, false);
  }
  k.release();
  return ready;
}

}  // namespace kvel

using namespace kvel;

extern "C" int vyx_ppoll(pollfd* fds, nfds_t nfds, const timespec* timeout,
                         const sigset_t* sigmask) {
  trace_line("vyx_ppoll", "%p %d\n", static_cast<void*>(fds), int(nfds));
  poll_deadline d{};
  int result = descriptor_limit(nfds) < nfds ? -EINVAL : make_deadline("vyx_ppoll", timeout, &d);
  if (result == 0 && fds == nullptr && nfds != 0) result = -EFAULT;  // as the kernel's copy
  if (result == 0) result = wait_poll(fds, nfds, d, sigmask);
  result = errno_result(result);
  trace_line("vyx_ppoll", "leave %d\n", result);
  return result;
}

extern "C" int vyx_poll(pollfd* fds, nfds_t nfds, int timeout_ms) {
  const timespec timeout = milliseconds(timeout_ms);
  return vyx_ppoll(fds, nfds, timeout_ms < 0 ? nullptr : &timeout, nullptr);
}
