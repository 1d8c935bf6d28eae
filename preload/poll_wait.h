// The waits of poll, ppoll, select and pselect over managed and kernel descriptors
// alike: only the interposer knows whether a card socket is ready, since its data never
// reaches its kernel socket. They run with no slot claimed and return none claimed.
#pragma once
#include <cerrno>
#include <ctime>
#include <poll.h>
#include <signal.h>
#include <sys/select.h>

namespace kvel {

// When a wait ends, on CLOCK_MONOTONIC; none for a wait without a timeout.
struct poll_deadline {
  bool set;
  timespec at;
};

// The deadline of a timeout from now: 0, or -EINVAL for a negative or malformed one.
// With VERBOSE the wait `name` writes the clock, the timeout and the deadline.
int make_deadline(const char* name, const timespec* timeout, poll_deadline* d);
bool deadline_passed(const poll_deadline& d);
// What is left of the wait, 0 once the deadline has passed.
timespec time_left(const poll_deadline& d);

// nfds, or the process's descriptor limit when nfds is above it: the kernel refuses a
// longer poll array and looks at no more of select's sets. Every process may have 1024
// descriptors, so smaller numbers are returned without a look at the limit.
nfds_t descriptor_limit(nfds_t nfds);

// ppoll over fds until an entry has events or the deadline passes: the number of entries
// with events, 0 at the deadline, or -errno (EINTR once a signal handler has run during
// the wait, the kernel's errors for its own members). sigmask, when given, is the mask
// in force while the call waits.
int wait_poll(pollfd* fds, nfds_t nfds, const poll_deadline& d, const sigset_t* sigmask);

// A timeout given in milliseconds (poll's, epoll_wait's) as the timespec of the waits;
// a negative one, no timeout, is the caller's to test.
inline timespec milliseconds(int ms) { return timespec{ms / 1000, (ms % 1000) * 1'000'000L}; }

// A result of the waits in the C library's form: -errno becomes -1 with errno set.
inline int errno_result(int result) {
  if (result >= 0) return result;
  errno = -result;
  return -1;
}

}  // namespace kvel
