// epoll_ctl on an emulated set. A member with a record goes into the set's table and
// never into the kernel's set (its kernel twin would report what the card socket is
// not); any other descriptor is the kernel's to register, and the set counts what the
// kernel accepted, so that a wait asks the kernel exactly while it has members.
#include <cerrno>

#include "emulated_records.h"
#include "epoll_set.h"
#include "fd_lock.h"
#include "handlers.h"
#include "poll_wait.h"
#include "real_calls.h"
#include "trace_log.h"

using namespace kvel;

namespace {

constexpr char name[] = "vyx_epoll_ctl";

struct ignored_flag {
  uint32_t bit;
  const char* note;
};

// Bits a table member keeps in its mask without effect: the card has no urgent data,
// wakes no one exclusively and holds no wakeup source.
constexpr ignored_flag ignored[] = {
    {EPOLLEXCLUSIVE, "zorvload does not support EPOLLEXCLUSIVE, flag ignored\n"},
    {EPOLLWAKEUP, "zorvload does not support EPOLLWAKEUP, flag ignored\n"},
    {EPOLLPRI, "zorvload does not support EPOLLPRI, event type ignored\n"},
};

// The edge bit, which the wait honours for output only, and the ignored bits.
void note_flags(uint32_t events) {
  if (events & EPOLLET) trace_line(name, "EPOLLET\n");
  for (const ignored_flag& f : ignored)
    if (events & f.bit) trace_line(name, "%s", f.note);
}

// The entry of fd's socket of `generation`; one left by a closed socket whose number
// came back is dropped.
int find_member(epoll_set* set, int fd, uint32_t generation) {
  for (int i = 0; i < set->count; ++i) {
    epoll_member& m = set->members[i];
    if (m.fd != fd) continue;
    if (m.generation == generation) return i;
    m.fd = -1;
    compact_members(set);
    return -1;
  }
  return -1;
}

void set_registration(epoll_member& m, const epoll_event& ev) {
  m.reg = ev;
  m.armed = true;
  m.out_edge = (ev.events & (EPOLLOUT | EPOLLET)) == (EPOLLOUT | EPOLLET);
}

// The table's change for fd's socket of `generation`: 0 or -errno, as the kernel answers.
int change_table(epoll_set* set, int op, int fd, uint32_t generation, const epoll_event* ev) {
  const int i = find_member(set, fd, generation);
  switch (op) {
    case EPOLL_CTL_ADD:
      if (i >= 0) return -EEXIST;
      if (set->count == epoll_member_max) return -ENOSPC;
      set->members[set->count] = epoll_member{{}, fd, generation, true, false};
      set_registration(set->members[set->count++], *ev);
      note_flags(ev->events);
      return 0;
    case EPOLL_CTL_MOD:
      if (i < 0) return -ENOENT;
      if ((ev->events | set->members[i].reg.events) & EPOLLEXCLUSIVE) return -EINVAL;
      set_registration(set->members[i], *ev);
      return 0;
    default:
      if (i < 0) return -ENOENT;
      set->members[i].fd = -1;
      compact_members(set);
      return 0;
  }
}

// The events EPOLLEXCLUSIVE may come with, as the kernel allows them.
constexpr uint32_t exclusive_ok_events =
    EPOLLIN | EPOLLOUT | EPOLLERR | EPOLLHUP | EPOLLWAKEUP | EPOLLET | EPOLLEXCLUSIVE;

// A member with a record: checked as the kernel checks it first.
int table_member(epoll_set* set, int op, int fd, uint32_t generation, const epoll_event* ev) {
  if (op != EPOLL_CTL_ADD && op != EPOLL_CTL_MOD && op != EPOLL_CTL_DEL) return -EINVAL;
  if (op != EPOLL_CTL_DEL && ev == nullptr) return -EFAULT;
  if (op == EPOLL_CTL_ADD && (ev->events & EPOLLEXCLUSIVE) != 0 &&
      (ev->events & ~exclusive_ok_events) != 0)
    return -EINVAL;
  pthread_mutex_lock(&set->lock);
  const int result = change_table(set, op, fd, generation, ev);
  pthread_mutex_unlock(&set->lock);
  return result;
}

int kernel_member(int epfd, epoll_set* set, int op, int fd, epoll_event* ev) {
  pthread_mutex_lock(&set->lock);
  int result = real_epoll_ctl(epfd, op, fd, ev);
  if (result == 0 && op == EPOLL_CTL_ADD) ++set->kernel_count;
  if (result == 0 && op == EPOLL_CTL_DEL) --set->kernel_count;
  if (result != 0) result = -errno;
  pthread_mutex_unlock(&set->lock);
  return result;
}

// Whether fd goes into the table, with the generation that names its socket. The slot
// is not claimed (a claim here would order two slots by their roles, not their
// numbers): the generation, read before the record, is the one a later fallback hands
// over. The emulated eventfds and timerfds are the kernel's members, whose kernel
// objects every write, read and setting keeps in step: a set of them alone sleeps in
// the kernel.
bool table_candidate(int epfd, int fd, uint32_t* generation) {
  if (fd == epfd || unsigned(fd) >= unsigned(fd_table_size)) return false;
  *generation = slot_generation(fd);
  const socket_record* r = lookup_socket_record(fd);
  return r != nullptr && !is_epoll_set(fd) && !emulated_kind(r);
}

// An emulated set inside another is refused: the outer set would see only the inner
// one's kernel set, never its card members, now or added later, and a program waiting
// on it would sleep through their events. The kernel's checks of the event come first.
int nested_set(int epfd, int op, int fd, const epoll_event* ev) {
  if (op != EPOLL_CTL_ADD || fd == epfd || !is_epoll_set(fd)) return 0;
  return ev == nullptr ? -EFAULT : -EINVAL;
}

// The change on an emulated set, with its slot claimed: 0 or -errno.
int change_set(int epfd, epoll_set* set, int op, int fd, epoll_event* ev) {
  if (const int refused = nested_set(epfd, op, fd, ev)) return refused;
  uint32_t generation = 0;
  if (table_candidate(epfd, fd, &generation)) return table_member(set, op, fd, generation, ev);
  return kernel_member(epfd, set, op, fd, ev);
}

}  // namespace

extern "C" int vyx_epoll_ctl(int epfd, int op, int fd, epoll_event* event) {
  if (trace_file != nullptr) {
    epoll_event given{};
    read_caller_memory(&given, event, sizeof given);
    trace_line(name, "%d op=%d fd=%d events=%X\n", epfd, op, fd, given.events);
  }
  epoll_set* set = epoll_set_of(epfd);
  int result = 0;
  if (set == nullptr) {
    release_slot(epfd);
    result = real_epoll_ctl(epfd, op, fd, event);
    trace_return(name, result);
    return result;
  }
  result = change_set(epfd, set, op, fd, event);
  release_slot(epfd);
  result = errno_result(result);
  trace_return(name, result);
  return result;
}
