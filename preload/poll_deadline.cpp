#include <cerrno>
#include <limits>

#include "poll_wait.h"
#include "trace_log.h"

namespace kvel {

namespace {

constexpr long ns_per_s = 1'000'000'000;

bool before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

void trace_timeout(const char* name, const timespec& t) {
  verbose_line(name, "timeout sec %d, timeout nsec %d\n", int(t.tv_sec), int(t.tv_nsec));
}

// The clock the deadline starts from and the timeout, before it is added.
void trace_start(const char* name, const timespec& now, const timespec& timeout) {
  verbose_line(name, "now sec %d, timeout nsec %d\n", int(now.tv_sec), int(now.tv_nsec));
  trace_timeout(name, timeout);
}

int set_deadline(const char* name, const timespec* timeout, poll_deadline* d) {
  d->set = timeout != nullptr;
  if (!d->set) return 0;
  if (timeout->tv_sec < 0 || timeout->tv_nsec < 0 || timeout->tv_nsec >= ns_per_s) return -EINVAL;
  clock_gettime(CLOCK_MONOTONIC, &d->at);
  if (verbose_on()) trace_start(name, d->at, *timeout);
  // A timeout beyond the clock's range ends at its last instant, as the kernel saturates
  // it (programs pass the largest time_t for "never").
  if (timeout->tv_sec >= std::numeric_limits<time_t>::max() - d->at.tv_sec) {
    d->at = timespec{std::numeric_limits<time_t>::max(), ns_per_s - 1};
    return 0;
  }
  d->at.tv_sec += timeout->tv_sec;
  d->at.tv_nsec += timeout->tv_nsec;
  if (d->at.tv_nsec >= ns_per_s) {
    d->at.tv_nsec -= ns_per_s;
    ++d->at.tv_sec;
  }
  return 0;
}

}  // namespace

int make_deadline(const char* name, const timespec* timeout, poll_deadline* d) {
  const int result = set_deadline(name, timeout, d);
  if (result == 0 && d->set && verbose_on()) trace_timeout(name, d->at);
  return result;
}

bool deadline_passed(const poll_deadline& d) {
  if (!d.set) return false;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return !before(now, d.at);
}

timespec time_left(const poll_deadline& d) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (!before(now, d.at)) return timespec{};
  timespec left{d.at.tv_sec - now.tv_sec, d.at.tv_nsec - now.tv_nsec};
  if (left.tv_nsec < 0) {
    left.tv_nsec += ns_per_s;
    --left.tv_sec;
  }
  return left;
}

}  // namespace kvel
