#include "term_loop.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace wrterm {
namespace {

constexpr char CTRL_A = 0x01;
constexpr int POLL_MS = 10;  // the receiver is drained at least this often
// One character time at 9600 baud is about 1 ms: a transmitter busy longer than this
// is left for the next round; at the end the bytes still typed get a longer chance.
constexpr long TX_WAIT_NS = 1000000;
constexpr long TX_LAST_WAIT_NS = 100000000;
// Characters shown per drain: a console that keeps sending must not keep the loop from
// reading standard input.
constexpr int DRAIN_CAP = 4096;
constexpr size_t PENDING_CAP = 4096;  // typed bytes waiting for the transmitter

struct term {
  console_block* console;
  char pending[PENDING_CAP] = {};  // typed, not yet sent, from pending[0]
  size_t pending_len = 0;
  size_t dropped = 0;      // typed bytes that found the queue full
  bool input_end = false;  // standard input ended, or C-a was typed
};

long now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000L + t.tv_nsec;
}

bool tx_ready(const term& t, long wait_ns) {
  long deadline = now_ns() + wait_ns;
  while (console_read(t.console, CONSOLE_STATUS) & CONSOLE_TX_BUSY)
    if (now_ns() >= deadline) return false;
  return true;
}

// Sends the waiting bytes in order while the transmitter frees itself within wait_ns
// for each; false when it stayed busy.
bool send_pending(term& t, long wait_ns) {
  size_t sent = 0;
  while (sent < t.pending_len && tx_ready(t, wait_ns))
    console_write(t.console, CONSOLE_TRANSMIT, uint8_t(t.pending[sent++]));
  t.pending_len -= sent;
  for (size_t i = 0; i < t.pending_len; ++i) t.pending[i] = t.pending[sent + i];
  return t.pending_len == 0;
}

// True when the cap stopped it with characters still waiting. A character 0 ends a
// drain: the console has nothing it means to show.
bool drain(term& t) {
  int shown = 0;
  for (;;) {
    uint64_t v = console_read(t.console, CONSOLE_RECEIVE);
    if (!(v & CONSOLE_RX_PRESENT) || (v & 0xFF) == 0) break;
    putc(int(v & 0xFF), stdout);
    if (++shown == DRAIN_CAP) break;
  }
  fflush(stdout);
  return shown == DRAIN_CAP;
}

void queue_typed(term& t, const char* bytes, size_t n) {
  for (size_t i = 0; i < n && !t.input_end; ++i) {
    if (bytes[i] == CTRL_A)
      t.input_end = true;
    else if (t.pending_len < PENDING_CAP)
      t.pending[t.pending_len++] = bytes[i];
    else
      ++t.dropped;
  }
}

void end_of_input(term& t) {
  fputs("nothing to read. Port disconnected?\n", stderr);
  t.input_end = true;
}

// Reads what standard input has, at most timeout_ms from now: no more than the queue
// takes, so that typing ahead of a slow transmitter loses nothing, but one byte at a
// time when it is full, so that C-a is still seen.
void take_input(term& t, int timeout_ms) {
  pollfd in{0, POLLIN, 0};
  int rc = poll(&in, 1, timeout_ms);
  if (rc < 0 && errno != EINTR) {
    perror("poll");
    return end_of_input(t);
  }
  if (rc <= 0) return;
  if (in.revents & POLLNVAL) return end_of_input(t);
  char buf[256];
  size_t room = PENDING_CAP - t.pending_len;
  size_t want = room == 0 ? 1 : room < sizeof buf ? room : sizeof buf;
  ssize_t n;
  do n = read(0, buf, want);
  while (n < 0 && errno == EINTR);
  if (n > 0) return queue_typed(t, buf, size_t(n));
  if (n < 0 && errno == EAGAIN) return;
  end_of_input(t);
}

}  // namespace

int term_run(console_block* console) {
  term t{console};
  bool more = false;  // the last drain left characters waiting
  while (!t.input_end) {
    take_input(t, more ? 0 : POLL_MS);
    send_pending(t, TX_WAIT_NS);
    more = drain(t);
  }
  bool sent = send_pending(t, TX_LAST_WAIT_NS);
  drain(t);
  if (t.dropped || !sent)
    fprintf(stderr, "console transmitter busy: %zu typed bytes not sent\n",
            t.dropped + t.pending_len);
  return t.dropped || !sent ? 1 : 0;
}

}  // namespace wrterm
