// The emulated eventfd: the record's two counters answer readiness without a system
// call; every write also reaches the kernel object and every read takes its value from
// there, so that the kernel object holds the same count for whatever bypasses us.
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>

#include "emulated_records.h"
#include "handlers.h"
#include "real_calls.h"
#include "socket_records.h"
#include "trace_log.h"

namespace kvel {

namespace {

constexpr uint64_t count_max = UINT64_MAX - 1;  // the highest count an eventfd holds

uint64_t count_of(const socket_record* r) {
  return load_field(r->evfd_written) - load_field(r->evfd_read);
}

bool has_room(int, socket_record* r, const void* value) {
  return *static_cast<const uint64_t*>(value) <= count_max - count_of(r);
}

// The record follows what the kernel's read took: one in semaphore mode, else the whole
// count as written when the read began (a write that lands meanwhile stays counted and
// is found taken by the next read).
void note_taken(socket_record* r, uint64_t written) {
  if ((r->evfd_flags & EFD_SEMAPHORE) != 0)
    __atomic_fetch_add(&r->evfd_read, 1, __ATOMIC_RELAXED);
  else
    store_field(r->evfd_read, written);
}

}  // namespace

// The kernel object agrees with the record unless a read that bypassed the interposer
// (readv, a kernel-side reader) took the value; the record forgets it then, so that a
// blocking read never waits in the kernel with the slot held.
bool eventfd_readable(int fd, socket_record* r, const void*) {
  const uint64_t written = load_field(r->evfd_written);
  if (written == load_field(r->evfd_read)) return false;
  pollfd p{fd, POLLIN, 0};
  if (real_poll(&p, nfds_t(1), 0) != 0) return true;
  store_field(r->evfd_read, written);
  return false;
}

long eventfd_take(data_call& c, void* buf, size_t count) {
  socket_record* r = c.rec;
  const uint64_t written = load_field(r->evfd_written);
  if (written == load_field(r->evfd_read)) return -EAGAIN;
  const long taken = kernel_result(real_read(c.fd, buf, count));
  if (taken > 0) note_taken(r, written);
  if (taken == -EAGAIN) store_field(r->evfd_read, written);  // a bypassing read took it
  return taken;
}

// A write that would pass the highest count waits (EAGAIN when non-blocking) for a read
// here, never in the kernel with the slot held; the kernel object then takes the value.
long eventfd_write_record(data_call& c, const void* buf, size_t count) {
  uint64_t value = 0;
  if (count < sizeof value) return -EINVAL;
  if (!read_caller_memory(&value, buf, sizeof value)) return -EFAULT;
  if (value == UINT64_MAX) return -EINVAL;
  if (!has_room(c.fd, c.rec, &value)) {
    trace_line("_eventfd_write", "overflow write\n");
    if (c.rec->is_blocking == 0) return -EAGAIN;
    const int waited = wait_emulated(c, has_room, &value);
    if (waited == wait_lost)
      return kernel_result(real_write(c.fd, static_cast<const void*>(&value), sizeof value));
    if (waited < 0) return waited;
  }
  const long put =
      kernel_result(real_write(c.fd, static_cast<const void*>(&value), sizeof value));
  if (put > 0) __atomic_fetch_add(&c.rec->evfd_written, value, __ATOMIC_RELAXED);
  return put;
}

}  // namespace kvel

using namespace kvel;

extern "C" int vyx_eventfd(unsigned int initval, int flags) {
  trace_line("vyx_eventfd", "%u %d\n", initval, flags);
  int fd = real_eventfd(initval, flags);
  socket_record* r = record_for_new_fd(fd, RECORD_EVENTFD, flags);
  if (r == nullptr) return fd;
  r->evfd_flags = uint32_t(flags);
  r->evfd_written = initval;
  return publish_emulated(fd, r, "vyx_eventfd");
}

// eventfd2 is the flags form of eventfd; the C library exports it under that name only.
extern "C" int vyx_eventfd2(unsigned int initval, int flags) __attribute__((alias("vyx_eventfd")));
