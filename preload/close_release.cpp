#include "close_release.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>

#include "fd_lock.h"
#include "handlers.h"
#include "real_calls.h"
#include "socket_records.h"
#include "trace_log.h"

namespace kvel {

namespace {

// The peer gets this long after close to acknowledge our data and FIN; a connection that
// has not finished by then is released (and so reset) all the same.
constexpr int64_t close_bound_ns = 10'000'000'000;
// Once our data and FIN are acknowledged, the peer's FIN is waited for this long more:
// a connection that both sides closed ends without the reset that a release sends.
constexpr int64_t peer_fin_grace_ns = 1'000'000'000;
// The kernel twin's copy, which keeps the port until the release, stays clear of the low
// numbers that the program expects to get back in order.
constexpr long twin_fd_floor = 768;

struct closing_connection {
  closing_connection* next;
  socket_record* record;
  int twin;  // the kernel twin's copy, -1 when none could be made
  int64_t deadline_ns;  // of the release, brought forward once the peer has all we sent
};

// Pushed by close on any thread under the lock; the monitor takes the whole list under
// the lock and walks it alone.
pthread_mutex_t closing_lock = PTHREAD_MUTEX_INITIALIZER;
closing_connection* closing_list = nullptr;

int64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void push_closing(closing_connection* list) {
  if (list == nullptr) return;
  closing_connection* last = list;
  while (last->next != nullptr) last = last->next;
  pthread_mutex_lock(&closing_lock);
  last->next = closing_list;
  closing_list = list;
  pthread_mutex_unlock(&closing_lock);
}

// SO_LINGER {on, 0} asks for the reset at close, as with the kernel's sockets.
bool reset_requested(int fd) {
  linger l{};
  socklen_t len = sizeof l;
  return real_getsockopt(fd, SOL_SOCKET, SO_LINGER, static_cast<void*>(&l), &len) == 0 &&
         l.l_onoff != 0 && l.l_linger == 0;
}

// A connection that may still have data or our FIN to deliver.
bool still_delivering(const socket_record* r) {
  if (r->kind != RECORD_TCP || r->handle == nullptr) return false;
  const int state = zorvsock_tcp_get_status(r->handle);
  return state >= ZORVSOCK_TCP_ESTABLISHED && state != ZORVSOCK_TCP_TIME_WAIT;
}

bool finished(closing_connection* c, int64_t now) {
  const int state = zorvsock_tcp_get_status(c->record->handle);
  if (state == ZORVSOCK_TCP_FIN_WAIT2 && c->deadline_ns > now + peer_fin_grace_ns)
    c->deadline_ns = now + peer_fin_grace_ns;
  return state == ZORVSOCK_TCP_CLOSED || state == ZORVSOCK_TCP_TIME_WAIT || now >= c->deadline_ns;
}

void release(closing_connection* c) {
  verbose_line("monitor_thread_entry", "releasing closed connection (%s)\n",
               zorvsock_tcp_state_str(zorvsock_tcp_get_status(c->record->handle)));
  free_record(c->record);
  if (c->twin >= 0) real_close(c->twin);
  free(c);
}

// Our FIN follows the data; the record goes to the monitor, with a copy of the twin
// when fd still has one.
bool hand_to_monitor(int fd, socket_record* r, bool twin_open) {
  auto* c = static_cast<closing_connection*>(malloc(sizeof(closing_connection)));
  if (c == nullptr) return false;
  const int state = zorvsock_tcp_get_status(r->handle);
  if (state == ZORVSOCK_TCP_ESTABLISHED || state == ZORVSOCK_TCP_CLOSE_WAIT)
    zorvsock_tcp_disconnect(r->handle);
  *c = {nullptr, r, twin_open ? real_fcntl(fd, F_DUPFD_CLOEXEC, twin_fd_floor) : -1,
        monotonic_ns() + close_bound_ns};
  push_closing(c);
  return true;
}

// A number's part of the close: only the last holder ends the socket, and a forked
// child's end frees its copy of the record alone.
bool end_record(int fd, bool twin_open) {
  const bool reset = twin_open && reset_requested(fd);
  socket_record* r = take_record_for_close(fd);
  if (r == nullptr) return false;
  if (!drop_holder(r)) return true;
  if (r->inherited != 0 || reset || !still_delivering(r) || !hand_to_monitor(fd, r, twin_open))
    free_unheld(r);
  return true;
}

}  // namespace

bool release_closed_connections() {
  pthread_mutex_lock(&closing_lock);
  closing_connection* list = closing_list;
  closing_list = nullptr;
  pthread_mutex_unlock(&closing_lock);
  const int64_t now = monotonic_ns();
  closing_connection* kept = nullptr;
  while (list != nullptr) {
    closing_connection* c = list;
    list = c->next;
    if (finished(c, now)) {
      release(c);
    } else {
      c->next = kept;
      kept = c;
    }
  }
  push_closing(kept);
  pthread_mutex_lock(&closing_lock);
  const bool left = closing_list != nullptr;
  pthread_mutex_unlock(&closing_lock);
  return left;
}

bool close_record(int fd) { return end_record(fd, true); }
bool forget_record(int fd) { return end_record(fd, false); }

void forget_closed_connections_after_fork() {
  pthread_mutex_init(&closing_lock, nullptr);
  closing_list = nullptr;
}

}  // namespace kvel

using namespace kvel;

extern "C" int vyx_close(int fd) {
  verbose_line("vyx_close", "freeing fd %d\n", fd);
  if (!close_record(fd)) {  // another thread's close of the same descriptor came first
    errno = EBADF;
    trace_return("vyx_close", -1);
    return -1;
  }
  const int result = real_close(fd);
  trace_return("vyx_close", result);
  return result;
}
