// The wait of an emulated epoll set. A set with table members spins over sweeps: each
// tests the members with the card's readiness calls and asks the kernel's set, without
// waiting, when it has members of its own. A set without table members sleeps in the
// kernel's call, in short slices, so that a member added by another thread is seen.
// Between sweeps and slices the wait gives the set's slot up, so that epoll_ctl and
// close from other threads never wait for its end.
#include <cerrno>
#include <poll.h>

#include "data_call.h"
#include "epoll_set.h"
#include "fd_lock.h"
#include "handlers.h"
#include "poll_wait.h"
#include "readiness.h"
#include "real_calls.h"
#include "signals_held.h"
#include "trace_log.h"

using namespace kvel;

namespace {

constexpr char name[] = "vyx_epoll_pwait2";
// How long a wait without table members sleeps in the kernel before it looks at the
// table again: the delay before it sees a card socket that another thread added.
constexpr int kernel_slice_ms = 20;
constexpr int max_events = int(0x7fffffff / sizeof(epoll_event));

struct wait_call {
  int epfd;
  uint32_t generation;  // of the set's slot when the call claimed it
  bool held;            // the call holds the slot
  epoll_event* events;
  int maxevents;
  poll_deadline deadline;
};

// ---- one member ------------------------------------------------------------------------

// A socket without a hardware session yet is answered by its kernel socket.
uint32_t kernel_socket_events(int fd, uint32_t wanted) {
  pollfd p{fd, short(wanted), 0};
  timespec zero{};
  if (real_ppoll(&p, nfds_t(1), &zero, static_cast<const sigset_t*>(nullptr)) != 1)
    return 0;
  return uint16_t(p.revents) & wanted;
}

// Edge-triggered output: reported once after a send met a full window or a connect
// went on in the background (the record's pending), or once after the registration.
// An error keeps pending, which SO_ERROR then reads. A wait that cannot hand the event
// over (take false) leaves the edge for the next one, as the kernel keeps it ready.
uint32_t out_edge_events(epoll_member& m, socket_record* r, uint32_t ev, bool take) {
  if (ev & EPOLLERR) return ev;
  if (!m.out_edge && load_shared(r->pending) == 0) return ev & ~uint32_t(EPOLLOUT);
  if (!take) return ev;
  m.out_edge = false;
  store_shared(r->pending, 0);
  return ev;
}

uint32_t record_member_events(epoll_member& m, socket_record* r, bool take) {
  const uint32_t mask = m.reg.events;
  const uint32_t wanted = (mask & (EPOLLIN | EPOLLOUT | EPOLLRDHUP)) | EPOLLERR | EPOLLHUP;
  if (kernel_answers(r)) return kernel_socket_events(m.fd, wanted);
  // A socket's input is reported while it waits, edge or level alike.
  const bool edge = (mask & EPOLLET) != 0;
  uint32_t ev = uint16_t(record_events(r)) & wanted;
  if (edge && (ev & EPOLLOUT)) ev = out_edge_events(m, r, ev, take);
  return ev;
}

// A member that another call holds is tested again in the next sweep; one whose socket
// was closed (its slot emptied or given to a new record) is marked gone.
uint32_t test_member(epoll_member& m, bool take) {
  const int fd = m.fd;
  switch (try_claim_slot(fd)) {
    case slot_claim::empty:
      m.fd = -1;
      return 0;
    case slot_claim::busy:
      return 0;
    case slot_claim::claimed:
      break;
  }
  // A close in libzorvload_unsafe empties the slot without waiting for the claim.
  uint32_t ev = 0;
  socket_record* r = lookup_socket_record(fd);
  if (r == nullptr || slot_generation(fd) != m.generation)
    m.fd = -1;
  else if (m.armed)
    ev = record_member_events(m, r, take);
  release_slot(fd);
  return ev;
}

// What a member reported, one verbose line per kind of event.
void trace_member_events(const epoll_member& m, uint32_t ev) {
  if (ev & EPOLLIN) verbose_line(name, "EPOLLIN fd=%d readable\n", m.fd);
  if ((ev & EPOLLOUT) && (m.reg.events & EPOLLET))
    verbose_line(name, "EPOLLOUT/EPOLLET fd=%d writeable\n", m.fd);
  else if (ev & EPOLLOUT)
    verbose_line(name, "EPOLLOUT fd=%d writeable\n", m.fd);
  if (ev & EPOLLERR) verbose_line(name, "EPOLLERR fd=%d error\n", m.fd);
}

// ---- one sweep -------------------------------------------------------------------------

// The table from the set's start on, into out; a sweep that fills out starts the next
// one after the last member reported. Without out (a null events array), the first
// ready member ends the sweep with EFAULT and stays ready, as in the kernel's set.
int sweep_members(epoll_set* set, epoll_event* out, int room) {
  const int n = set->count;
  int found = 0;
  int last = 0;
  bool gone = false;
  for (int k = 0; k < n && found < room; ++k) {
    const int i = (set->start + k) % n;
    epoll_member& m = set->members[i];
    const uint32_t ev = test_member(m, out != nullptr);
    gone |= m.fd < 0;
    if (ev == 0) continue;
    if (out == nullptr) {
      found = -EFAULT;
      break;
    }
    out[found++] = epoll_event{ev, m.reg.data};
    if (verbose_on()) {
      trace_member_events(m, ev);
      verbose_line(name, "events_found %d\n", found);
    }
    last = i;
    if (m.reg.events & EPOLLONESHOT) m.armed = false;
  }
  if (found > 0 && found == room) set->start = (last + 1) % n;
  if (gone) compact_members(set);
  return found;
}

// `found` is the number of events the sweep holds already (the table's).
int ask_kernel(const wait_call& c, int found, const sigset_t* mask) {
  const int n = real_epoll_pwait(c.epfd, c.events + found, c.maxevents - found, 0, mask);
  if (n < 0) return -errno;
  if (n > 0 && verbose_on()) verbose_line(name, "events_found %d kernel_events %d\n", found, n);
  return n;
}

// Takes a signal that mask admits, so that its handler ends the wait.
int take_signals(const sigset_t* mask) {
  timespec zero{};
  return real_ppoll(static_cast<pollfd*>(nullptr), nfds_t(0), &zero, mask) < 0 ? -errno : 0;
}

// One sweep under the set's lock: the events found, or -errno. The kernel's set and the
// table take turns at going first while events come, so neither starves the other. A
// sweep that found nothing takes the signals that mask admits even when it asked the
// kernel's set: epoll_pwait with a zero timeout delivers none.
int sweep(const wait_call& c, epoll_set* set, const sigset_t* mask, bool signals) {
  const bool kernel = set->kernel_count > 0;
  bool asked = false;
  int found = 0;
  if (kernel && set->kernel_first) {
    found = ask_kernel(c, 0, mask);
    if (found < 0) return found;
    asked = true;
  }
  const int table = sweep_members(set, c.events + found, c.maxevents - found);
  if (table < 0) return table;
  found += table;
  if (kernel && !asked && found < c.maxevents) {
    const int n = ask_kernel(c, found, mask);
    if (n < 0 && found == 0) return n;
    found += n > 0 ? n : 0;
  }
  if (found > 0) {
    set->kernel_first = !set->kernel_first;
    return found;
  }
  return signals ? take_signals(mask) : 0;
}

// ---- the wait --------------------------------------------------------------------------

// One sweep with the slot claimed; *table tells whether the set has table members. In
// libzorvload_unsafe a close of the set may have emptied the slot since the claim (it
// waits only before it frees): the wait ends as for a close during a pause.
int locked_sweep(const wait_call& c, const sigset_t* mask, bool signals, bool* table) {
  epoll_set* set = epoll_set_of(c.epfd);
  if (set == nullptr) return -EBADF;
  pthread_mutex_lock(&set->lock);
  *table = set->count > 0;
  const int result = sweep(c, set, mask, signals);
  pthread_mutex_unlock(&set->lock);
  return result;
}

// Claims the set's slot again after a pause: false when the set was closed meanwhile.
bool reclaim(wait_call& c) {
  c.held = claim_slot(c.epfd);
  if (c.held && slot_generation(c.epfd) == c.generation) return true;
  if (c.held) release_slot(c.epfd);
  c.held = false;
  return false;
}

// Ends with events, an error, the deadline, or 0 once the table is empty.
int spin(wait_call& c, const sigset_t* admit) {
  for (;;) {
    if (!pause_slot(c.epfd, c.generation)) {
      c.held = false;
      return -EBADF;
    }
    bool table = false;
    const int result = locked_sweep(c, admit, true, &table);
    if (result != 0 || !table || deadline_passed(c.deadline)) return result;
  }
}

int sleep_in_kernel(wait_call& c, const sigset_t* admit) {
  int ms = kernel_slice_ms;
  // A slice is under a second, so only a deadline less than a second away shortens it
  // (a far one never meets a multiplication of its seconds).
  static_assert(kernel_slice_ms < 1000);
  if (c.deadline.set) {
    const timespec left = time_left(c.deadline);
    const long left_ms = (left.tv_nsec + 999'999) / 1'000'000;
    if (left.tv_sec == 0 && left_ms < ms) ms = int(left_ms);
  }
  release_slot(c.epfd);
  c.held = false;
  const int n = real_epoll_pwait(c.epfd, c.events, c.maxevents, ms, admit);
  const int err = errno;
  if (!reclaim(c)) return n > 0 ? n : -EBADF;
  return n < 0 ? -err : n;
}

// After a first sweep that found nothing, every signal is held back and taken only
// inside the kernel calls, under the mask the wait admits, as the poll wait does: a
// handler that runs then ends the wait with EINTR, instead of running unseen between two
// sweeps or two slices.
int wait_set(wait_call& c, const sigset_t* sigmask) {
  bool table = false;
  int result = locked_sweep(c, sigmask, false, &table);
  if (result != 0 || deadline_passed(c.deadline)) return result;
  const signals_held held;
  const sigset_t admit = sigmask != nullptr ? *sigmask : held.saved;
  for (;;) {
    result = table ? spin(c, &admit) : sleep_in_kernel(c, &admit);
    if (result != 0 || deadline_passed(c.deadline)) return result;
    result = locked_sweep(c, &admit, true, &table);
    if (result != 0 || deadline_passed(c.deadline)) return result;
  }
}

int checked_wait(wait_call& c, const timespec* timeout, const sigset_t* sigmask) {
  if (epoll_set_of(c.epfd) == nullptr || c.maxevents < 1 || c.maxevents > max_events)
    return -EINVAL;
  const int result = make_deadline(name, timeout, &c.deadline);
  return result != 0 ? result : wait_set(c, sigmask);
}

}  // namespace

extern "C" int vyx_epoll_pwait2(int epfd, epoll_event* events, int maxevents,
                                const timespec* timeout, const sigset_t* sigmask) {
  trace_line(name, "%d %d %p\n", epfd, maxevents, static_cast<const void*>(timeout));
  wait_call c{epfd, slot_generation(epfd), true, events, maxevents, {}};
  int result = checked_wait(c, timeout, sigmask);
  if (c.held) release_slot(epfd);
  result = errno_result(result);
  trace_return_fd(name, epfd, result);
  return result;
}

extern "C" int vyx_epoll_pwait(int epfd, epoll_event* events, int maxevents, int timeout_ms,
                               const sigset_t* sigmask) {
  const timespec timeout = milliseconds(timeout_ms);
  return vyx_epoll_pwait2(epfd, events, maxevents, timeout_ms < 0 ? nullptr : &timeout, sigmask);
}

extern "C" int vyx_epoll_wait(int epfd, epoll_event* events, int maxevents, int timeout_ms) {
  return vyx_epoll_pwait(epfd, events, maxevents, timeout_ms, nullptr);
}
