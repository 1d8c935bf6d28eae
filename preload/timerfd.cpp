// The emulated timerfd: the record's deadline answers readiness with one clock read and
// no system call; every setting also arms the kernel object (which checks it, and gives
// the time left of the old one) and every read takes its count from there, so that the
// kernel object expires alike for whatever bypasses us.
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/timerfd.h>

#include "emulated_records.h"
#include "handlers.h"
#include "real_calls.h"
#include "socket_records.h"
#include "trace_log.h"

namespace kvel {

namespace {

constexpr uint64_t ns_per_s = 1'000'000'000;

uint64_t ns_of(const timespec& t) {
  if (uint64_t(t.tv_sec) > (UINT64_MAX - ns_per_s) / ns_per_s) return UINT64_MAX;
  return uint64_t(t.tv_sec) * ns_per_s + uint64_t(t.tv_nsec);
}

bool clock_now(const socket_record* r, uint64_t* now) {
  timespec t{};
  if (clock_gettime(r->tfd_clockid, &t) != 0) return false;
  *now = ns_of(t);
  return true;
}


// The clock is read after the kernel armed its object, so that the record's deadline is
// never before the kernel's: when the record finds the timer expired, so has the kernel.
void arm(socket_record* r, int flags, const itimerspec& setting) {
  uint64_t start = ns_of(setting.it_value);
  uint64_t now = 0;
  if (start != 0 && (flags & TFD_TIMER_ABSTIME) == 0 && clock_now(r, &now))
    start = start > UINT64_MAX - now ? UINT64_MAX : start + now;
  store_field(r->tfd_interval, ns_of(setting.it_interval));
  store_field(r->tfd_deadline, start);
  store_field(r->tfd_start, start);
}

// After a read took the expiries: a one-shot timer is disarmed, a periodic one waits
// for its first expiry after now.
void after_read(socket_record* r) {
  const uint64_t interval = load_field(r->tfd_interval);
  if (interval == 0) {
    store_field(r->tfd_start, 0);
    return;
  }
  const uint64_t deadline = load_field(r->tfd_deadline);
  uint64_t now = 0;
  if (clock_now(r, &now) && now >= deadline)
    store_field(r->tfd_deadline, deadline + ((now - deadline) / interval + 1) * interval);
}

}  // namespace

// A clock that cannot be read counts as expired: the read then asks the kernel. A
// disarmed timer never expires, so a blocking read waits for a setting, as the kernel's.
bool timerfd_expired(int, socket_record* r, const void*) {
  const uint64_t start = load_field(r->tfd_start);
  if (start == 0) return false;
  uint64_t now = 0;
  if (!clock_now(r, &now)) return true;
  const uint64_t deadline = load_field(r->tfd_deadline);
  if (verbose_on())
    verbose_line("_timerfd_readable_in", "cur=%lu start=%lu timeout=%lu interval=%lu\n", now,
                 start, deadline, load_field(r->tfd_interval));
  return now >= deadline;
}

long timerfd_take(data_call& c, void* buf, size_t count) {
  if (!timerfd_expired(c.fd, c.rec, nullptr)) return -EAGAIN;
  const long taken = kernel_result(real_read(c.fd, buf, count));
  if (taken > 0) after_read(c.rec);
  return taken;
}

}  // namespace kvel

using namespace kvel;

extern "C" int vyx_timerfd_create(int clockid, int flags) {
  trace_line("vyx_timerfd_create", "%d %d\n", clockid, flags);
  int fd = real_timerfd_create(clockid, flags);
  socket_record* r = record_for_new_fd(fd, RECORD_TIMERFD, flags);
  if (r == nullptr) return fd;
  r->tfd_clockid = clockid;
  return publish_emulated(fd, r, "vyx_timerfd_create");
}

extern "C" int vyx_timerfd_settime(int fd, int flags, const itimerspec* new_value,
                                   itimerspec* old_value) {
  data_call c = data_call::claimed(fd);
  const long result = kernel_result(real_timerfd_settime(fd, flags, new_value, old_value));
  if (result == 0) arm(c.rec, flags, *new_value);
  trace_line("vyx_timerfd_settime", "%lu %lu %lu\n", load_field(c.rec->tfd_start),
             load_field(c.rec->tfd_interval), load_field(c.rec->tfd_deadline));
  return int(c.finish("vyx_timerfd_settime", result));
}
