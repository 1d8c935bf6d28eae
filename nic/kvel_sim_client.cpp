#include "kvel_sim_client.h"

#include <sys/un.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "kvel_dev.h"
#include "kvel_sim_proto.h"
#include "sys_calls.h"

namespace kvel {
namespace {

// Unique across the process's descriptors, so any reply can be matched to its call.
std::atomic<uint64_t> next_seq{1};

// A connection whose far end has closed or reset means the simulator is gone.
int gone_or(int err) {
  bool gone = err == EPIPE || err == ECONNRESET || err == ENOTCONN || err == ECONNREFUSED;
  return gone ? -ENODEV : -err;
}

// 0 when fd has one of events (or an error or hang-up, which the next call reports),
// -ETIMEDOUT when the deadline passes first.
int wait_ready(int fd, short events, int64_t deadline_ms) {
  for (;;) {
    int64_t left = deadline_ms - sim_clock_ms();
    if (left <= 0) return -ETIMEDOUT;
    pollfd p{fd, events, 0};
    timespec ts{time_t(left / 1000), long(left % 1000) * 1000000};
    int n = sys_ppoll(&p, 1, &ts);
    if (n > 0) return 0;
    if (n == 0) return -ETIMEDOUT;
    if (errno != EINTR) return -errno;
  }
}

sim_request request_for(const sim_call& call, uint64_t seq) {
  return {SIM_PROTO_MAGIC, call.op, seq, call.arg0, call.arg1, call.arg2, call.in_len, 0};
}

int send_request(int fd, const sim_request& req, const void* data, int64_t deadline_ms) {
  iovec iov[2] = {{const_cast<sim_request*>(&req), sizeof req}, {const_cast<void*>(data), req.len}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = req.len ? 2 : 1;
  for (;;) {
    if (sys_sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return gone_or(errno);
    if (int rc = wait_ready(fd, POLLOUT, deadline_ms)) return rc;
  }
}

// Drops the message at the head of the queue; a descriptor it carries is closed by
// the kernel because no control buffer is offered.
void discard_message(int fd) {
  msghdr msg{};
  sys_recvmsg(fd, &msg, MSG_DONTWAIT | MSG_TRUNC);
}

// Waits until the reply to seq heads the queue, dropping replies to earlier calls that
// gave up waiting.
int await_reply(int fd, uint64_t seq, int64_t deadline_ms) {
  for (;;) {
    if (int rc = wait_ready(fd, POLLIN, deadline_ms)) return rc;
    sim_reply head{};
    iovec iov{&head, sizeof head};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n = sys_recvmsg(fd, &msg, MSG_DONTWAIT | MSG_PEEK);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return gone_or(errno);
    if (n == 0) return -ENODEV;
    bool well_formed = size_t(n) == sizeof head && head.magic == SIM_PROTO_MAGIC;
    if (well_formed && head.seq == seq) return 0;
    discard_message(fd);
    if (!well_formed) return -EPROTO;
  }
}

// The descriptors passed with msg, into answer; false when the control data was not
// one list of them that fits.
bool take_passed(msghdr& msg, sim_answer* answer) {
  bool fits = true;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < n; ++i) {
      int fd;
      memcpy(&fd, CMSG_DATA(c) + i * sizeof fd, sizeof fd);
      if (answer->fd_count < SIM_MAX_PASSED_FDS) {
        answer->fds[answer->fd_count++] = fd;
      } else {
        sys_close(fd);
        fits = false;
      }
    }
  }
  return fits;
}

int take_reply(int fd, const sim_call& call, sim_answer* answer) {
  sim_reply rep{};
  iovec iov[2] = {{&rep, sizeof rep}, {call.out, call.out_cap}};
  alignas(cmsghdr) char control[CMSG_SPACE(SIM_MAX_PASSED_FDS * sizeof(int))];
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = call.out_cap ? 2 : 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n = sys_recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  if (n < 0) return gone_or(errno);
  sim_answer got;
  bool fits = take_passed(msg, &got);
  if (!fits || (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) || size_t(n) != sizeof rep + rep.len) {
    sim_close_passed(&got);
    return -EPROTO;
  }
  got.result = rep.result;
  got.err = rep.err;
  got.value = rep.value;
  got.out_len = rep.len;
  *answer = got;
  return 0;
}

}  // namespace

int64_t sim_clock_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void sim_close_passed(sim_answer* answer) {
  for (int i = 0; i < answer->fd_count; ++i) sys_close(answer->fds[i]);
  answer->fd_count = 0;
}

int sim_connect(const char* path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  strcpy(addr.sun_path, path);
  int fd = sys_socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // Bounds the wait for room in a busy simulator's accept queue.
  timeval tv{kvel_dev_timeout_ms / 1000, (kvel_dev_timeout_ms % 1000) * 1000};
  sys_setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (sys_connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  int err = errno == EAGAIN || errno == EINPROGRESS ? ETIMEDOUT : -gone_or(errno);
  sys_close(fd);
  errno = err;
  return -1;
}

// A TCP connection's worker thread and the application's thread may both make requests
// on the same descriptor; one exchange at a time keeps each reply with its caller (a
// reply read by the other thread would be dropped as stale and its caller time out).
// Requests are set-up and control traffic only; the data path's doorbell goes through
// shared memory and takes no turn.
static std::mutex exchange_mutex;

int sim_exchange(int fd, const sim_call& call, sim_answer* answer) {
  if (call.in_len > SIM_MAX_DATA) return -EINVAL;
  std::lock_guard<std::mutex> one_at_a_time(exchange_mutex);
  int64_t deadline = sim_clock_ms() + kvel_dev_timeout_ms;
  sim_request req = request_for(call, next_seq.fetch_add(1, std::memory_order_relaxed));
  if (int rc = send_request(fd, req, call.in, deadline)) return rc;
  if (int rc = await_reply(fd, req.seq, deadline)) return rc;
  return take_reply(fd, call, answer);
}

}  // namespace kvel
