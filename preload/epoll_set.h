// The emulated epoll set: a kernel epoll descriptor that holds the program's kernel
// members, beside a table of the members that have a record, which only the interposer
// can see ready (a card socket's data never reaches its kernel socket). Those members'
// kernel twins stay out of the kernel's set, so that it never reports what the twin
// sees (an unconnected socket's EPOLLHUP|EPOLLOUT); a member that falls back to the
// kernel is handed to the kernel's set.
#pragma once
#include <cstdint>
#include <pthread.h>
#include <sys/epoll.h>

#include "socket_record.h"

namespace kvel {

struct epoll_member {
  epoll_event reg;      // as the caller registered it
  int fd;               // -1: found gone in a sweep, removed at the sweep's end
  uint32_t generation;  // of fd's slot at registration: a new socket on the number is not it
  bool armed;           // cleared when an EPOLLONESHOT registration has reported
  bool out_edge;        // EPOLLOUT|EPOLLET: report writability once even without a blocked send
};

inline constexpr int epoll_member_max = 1024;

// Every field is guarded by `lock`, which the wait holds for one sweep and epoll_ctl for
// one change: in libzorvload the set's slot would do, but libzorvload_unsafe claims
// slots without excluding anyone and a set is commonly changed from another thread than
// the one waiting. Lock order: the set's slot, the lock, a member's slot.
struct epoll_set {
  pthread_mutex_t lock;
  int count;         // members in use, in registration order
  int kernel_count;  // registrations the kernel's set accepted and not yet removed
  int start;         // where the next sweep begins: a small maxevents starves no member
  bool kernel_first; // which side the next sweep asks first, alternating while events come
  epoll_member members[epoll_member_max];
};

void free_epoll_set(epoll_set* set);

// The record of a set, read with its slot claimed; null when fd is another kind.
epoll_set* epoll_set_of(int fd);

// Whether fd is an emulated set, without a look at its record.
bool is_epoll_set(int fd);

// Removes the entries marked gone, keeping the order of the rest and the sweep's start.
void compact_members(epoll_set* set);

// fd lost its record (it fell back to the kernel) while its slot had `generation`: every
// set that has it as a member registers it with the kernel's set instead. Called with no
// slot claimed.
void hand_members_to_kernel(int fd, uint32_t generation);

// A forked child has only the forking thread: the sets' locks start free.
void reset_epoll_locks_after_fork();

}  // namespace kvel
