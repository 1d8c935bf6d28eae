// select and pselect as a poll wait: each descriptor named in the caller's sets becomes
// one entry, and the answer goes back into the sets as the kernel's select gives it.
// The caller's sets are read and written only as far as nfds reaches (whole words of
// the set, as the kernel does), since a caller may size them by nfds.
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <limits>

#include "fd_lock.h"
#include "handlers.h"
#include "poll_wait.h"
#include "trace_log.h"

using namespace kvel;

namespace {

constexpr int word_bits = 8 * sizeof(unsigned long);
// What the kernel's select counts as ready in each set.
constexpr short read_ready = POLLIN | POLLHUP | POLLERR;
constexpr short write_ready = POLLOUT | POLLERR;
constexpr short except_ready = POLLPRI;

struct select_sets {
  unsigned long* set[3];  // read, write, exception; null when not given
  int nfds;

  bool has(int which, int fd) const {
    return set[which] != nullptr && ((set[which][fd / word_bits] >> (fd % word_bits)) & 1) != 0;
  }
};

constexpr short asked[3] = {POLLIN, POLLOUT, POLLPRI};
constexpr short counted[3] = {read_ready, write_ready, except_ready};

// One entry per descriptor named in any set, in increasing order; the number made.
nfds_t make_entries(const select_sets& s, pollfd* entries) {
  nfds_t n = 0;
  for (int fd = 0; fd < s.nfds; ++fd) {
    short events = 0;
    for (int w = 0; w < 3; ++w)
      if (s.has(w, fd)) events |= asked[w];
    if (events != 0) entries[n++] = pollfd{fd, events, 0};
  }
  return n;
}

// The bits that the answer sets; with `store` the caller's sets are rewritten to hold
// just them.
int answer(select_sets& s, const pollfd* entries, nfds_t n, bool store) {
  unsigned long* out[3] = {};
  const size_t words = (size_t(s.nfds) + word_bits - 1) / word_bits;
  for (int w = 0; w < 3 && store; ++w)
    if (s.set[w] != nullptr) {
      out[w] = s.set[w];
      for (size_t i = 0; i < words; ++i) out[w][i] = 0;
    }
  int bits = 0;
  for (nfds_t i = 0; i < n; ++i)
    for (int w = 0; w < 3; ++w) {
      if ((entries[i].events & asked[w]) == 0 || (entries[i].revents & counted[w]) == 0) continue;
      ++bits;
      const int fd = entries[i].fd;
      if (out[w] != nullptr) out[w][fd / word_bits] |= 1UL << (fd % word_bits);
    }
  return bits;
}

bool any_closed(const pollfd* entries, nfds_t n) {
  for (nfds_t i = 0; i < n; ++i)
    if (entries[i].revents & POLLNVAL) return true;
  return false;
}

// Waits until an answer sets a bit: an event that select does not count (a hang-up of a
// descriptor asked only for exceptions) does not end it.
int wait_select(select_sets& s, pollfd* entries, nfds_t n, const poll_deadline& d,
                const sigset_t* sigmask) {
  for (;;) {
    const int ready = wait_poll(entries, n, d, sigmask);
    if (ready < 0) return ready;
    if (any_closed(entries, n)) return -EBADF;
    if (ready == 0 || answer(s, entries, n, false) > 0 || deadline_passed(d))
      return answer(s, entries, n, true);
  }
}

// ---- verbose lines ---------------------------------------------------------------------

// A set's line: the first 32 bits of set `which`, when the caller gave it.
struct set_head {
  int which;
  const char* format;
};

template <size_t N>
void trace_sets(const select_sets& s, const set_head (&heads)[N]) {
  if (s.nfds <= 0) return;  // no word of the sets is the caller's to read
  for (const set_head& h : heads)
    if (s.set[h.which] != nullptr)
      verbose_line("vyx_pselect", h.format, unsigned(s.set[h.which][0]));
}

// A descriptor without a record is the kernel's member: the kernel's call answered it.
bool kernel_member(int fd) { return lookup_socket_record(fd) == nullptr; }

// What the wait found for each member, by set, and the count of ready bits for card
// members (r, w, e) and for the kernel's. Written once for the call, not per sweep: a
// spinning wait would flood the log.
void trace_answer(const pollfd* entries, nfds_t n) {
  int card[3] = {}, kernel = 0;
  for (nfds_t i = 0; i < n; ++i) {
    const pollfd& p = entries[i];
    const bool in_kernel = kernel_member(p.fd);
    if (p.events & POLLIN) {
      if (in_kernel)
        verbose_line("check_readfds", "select rlnx fd=%d\n", p.fd);
      else if (p.revents & read_ready)
        verbose_line("check_readfds", "select fd=%d readable\n", p.fd);
      else
        verbose_line("check_readfds", "select fd=%d non-readable\n", p.fd);
    }
    if (p.events & POLLOUT) {
      if (in_kernel)
        verbose_line("check_writefds", "select wlnx fd=%d\n", p.fd);
      else
        verbose_line("check_writefds", "select hw wr fd=%d\n", p.fd);
    }
    if (p.events & POLLPRI) {
      verbose_line("check_exceptfds", "lsock=%p i=%d\n",
                   static_cast<void*>(lookup_socket_record(p.fd)), p.fd);
      if (in_kernel) verbose_line("check_exceptfds", "select elnx fd=%d\n", p.fd);
    }
    for (int w = 0; w < 3; ++w)
      if ((p.events & asked[w]) != 0 && (p.revents & counted[w]) != 0)
        ++(in_kernel ? kernel : card[w]);
  }
  verbose_line("vyx_pselect", "r=%d w=%d e=%d orig_n=%d\n", card[0], card[1], card[2], kernel);
}

constexpr set_head entry_heads[] = {{0, "ird: %08x\n"}, {1, "iwr: %08x\n"}, {2, "iex: %08x\n"}};
// The write set's line comes twice, under both of its names.
constexpr set_head result_heads[] = {
    {0, "rd: %08x\n"}, {1, "wt: %08x\n"}, {1, "wr: %08x\n"}, {2, "ex: %08x\n"}};

// ---- the wait ----------------------------------------------------------------------------

int emulate_select(select_sets& s, poll_deadline& d, const sigset_t* sigmask) {
  pollfd on_stack[256];
  nfds_t members = 0;
  for (int fd = 0; fd < s.nfds; ++fd)
    members += (s.has(0, fd) || s.has(1, fd) || s.has(2, fd)) ? 1 : 0;
  pollfd* entries = members <= 256 ? on_stack : static_cast<pollfd*>(malloc(members * sizeof(pollfd)));
  if (entries == nullptr) return -ENOMEM;
  const nfds_t n = make_entries(s, entries);
  const int result = wait_select(s, entries, n, d, sigmask);
  if (result > 0 && verbose_on()) {
    trace_answer(entries, n);
    trace_sets(s, result_heads);
  }
  if (entries != on_stack) free(entries);
  return result;
}

// timeout, when given, is left holding the time that was not used, as the kernel's select
// leaves it.
int select_until(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                 timespec* timeout, const sigset_t* sigmask) {
  trace_line("vyx_pselect", "%d %p %p %p %p\n", nfds, static_cast<void*>(readfds),
             static_cast<void*>(writefds), static_cast<void*>(exceptfds),
             static_cast<void*>(timeout));
  select_sets s{{reinterpret_cast<unsigned long*>(readfds),
                 reinterpret_cast<unsigned long*>(writefds),
                 reinterpret_cast<unsigned long*>(exceptfds)},
                nfds < 0 ? nfds : int(descriptor_limit(nfds_t(nfds)))};
  if (verbose_on()) trace_sets(s, entry_heads);
  poll_deadline d{};
  int result = nfds < 0 ? -EINVAL : make_deadline("vyx_pselect", timeout, &d);
  if (result == 0) result = emulate_select(s, d, sigmask);
  if (result >= 0 && timeout != nullptr) *timeout = time_left(d);
  result = errno_result(result);
  trace_return("vyx_pselect", result);
  return result;
}

// select's timeout as pselect's; microseconds beyond a second carry into the seconds,
// as the C library takes them, which holds a carry past time_t's range at its end.
timespec timeval_to_timespec(const timeval& tv) {
  time_t seconds = 0;
  if (__builtin_add_overflow(tv.tv_sec, tv.tv_usec / 1'000'000, &seconds))
    return timespec{std::numeric_limits<time_t>::max(), 999'999'999};
  return timespec{seconds, (tv.tv_usec % 1'000'000) * 1000L};
}

}  // namespace

// The waits run in the interposer whatever descriptors they name: a card socket's data
// never reaches its kernel socket.
extern "C" int vyx_select(int nfds, fd_set* rd, fd_set* wr, fd_set* ex, timeval* timeout) {
  if (timeout == nullptr) return select_until(nfds, rd, wr, ex, nullptr, nullptr);
  timeval given{};
  if (!read_caller_memory(&given, timeout, sizeof given)) {
    errno = EFAULT;
    return -1;
  }
  timespec left = timeval_to_timespec(given);
  const int result = select_until(nfds, rd, wr, ex, &left, nullptr);
  if (result >= 0) *timeout = timeval{left.tv_sec, left.tv_nsec / 1000};
  return result;
}

extern "C" int vyx_pselect(int nfds, fd_set* rd, fd_set* wr, fd_set* ex, const timespec* timeout,
                           const sigset_t* sigmask) {
  timespec copy{};
  if (timeout != nullptr) copy = *timeout;
  return select_until(nfds, rd, wr, ex, timeout != nullptr ? &copy : nullptr, sigmask);
}
