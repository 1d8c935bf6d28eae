// The descriptors that the interposer emulates beside the card's sockets: eventfd and
// timerfd. Each keeps a kernel object of its kind, which every write and every setting
// also reaches and every read drains, so that whatever bypasses the interposer (a
// kernel epoll set, a duplicate, a forked child) finds it in the same state; the record
// lets a readiness sweep test it without a system call.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/timerfd.h>

#include "data_call.h"
#include "socket_record.h"

namespace kvel {

inline bool emulated_kind(const socket_record* r) {
  return r != nullptr && r->kind >= RECORD_EVENTFD;
}

// The emulated fields are plain 64-bit fields that a call of one thread writes while a
// readiness sweep of another reads them; libzorvload_unsafe has no lock between them.
inline uint64_t load_field(const uint64_t& field) {
  return __atomic_load_n(&field, __ATOMIC_RELAXED);
}
inline void store_field(uint64_t& field, uint64_t value) {
  __atomic_store_n(&field, value, __ATOMIC_RELAXED);
}

// Stores the filled record of a new kernel object in fd's slot; returns fd.
int publish_emulated(int fd, socket_record* r, const char* name);

// Claims fd's slot for a socket call: false (slot given back) when fd has no record or
// an emulated one, whose kernel object then refuses the call as Linux does.
bool claim_socket_slot(int fd);
// Claims fd's slot for timerfd_settime: false (slot given back) when fd is no emulated
// timerfd, whose kernel object (or the kernel's refusal) then answers.
bool claim_timer_slot(int fd);

// A duplicate or a forked child shares the kernel object, which the record's counters
// would no longer follow: the descriptor becomes the kernel's alone.
void hand_to_kernel(int fd);
void hand_all_to_kernel();
// The same entered with the slot claimed, hand_claimed_to_kernel, is in data_call.h.

// What a blocking emulated call waits for, tested with the slot claimed.
using ready_test = bool (*)(int fd, socket_record* r, const void* context);
enum wait_outcome { wait_ready = 0, wait_lost = 1 };
// Waits, giving the slot up between tests, until the test holds: wait_ready with the slot
// claimed again, -EINTR (slot claimed) once a signal handler without SA_RESTART has run,
// or wait_lost when the record left the slot (closed or handed to the kernel), the slot
// given back.
int wait_emulated(data_call& c, ready_test ready, const void* context);

// The data calls, entered with the slot claimed; results are -errno on failure.
long read_emulated(data_call& c, void* buf, size_t count);
long write_emulated(data_call& c, const void* buf, size_t count);

// Each kind's side of them: what a blocking read waits for, and the read without a wait
// (EAGAIN when there is nothing to take).
bool eventfd_readable(int fd, socket_record* r, const void*);
bool timerfd_expired(int fd, socket_record* r, const void*);
long eventfd_take(data_call& c, void* buf, size_t count);
long timerfd_take(data_call& c, void* buf, size_t count);
long eventfd_write_record(data_call& c, const void* buf, size_t count);

}  // namespace kvel
