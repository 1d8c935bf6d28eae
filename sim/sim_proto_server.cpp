#include "sim_proto_server.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "kvel_sim_proto.h"
#include "sim_unix.h"

namespace zsim {
namespace {

using namespace kvel;

struct request_buffer {
  sim_request head;
  unsigned char data[SIM_MAX_DATA];
};

// "stall": hold the reply back while a stall is in force, checking often so that the
// end of the stall (or of the simulator) releases it at once.
void stall_wait(const sim_card& card, int64_t received_ms) {
  for (;;) {
    int64_t now = monotonic_ms();
    if (card.stopping || now >= card.stall_until_ms || now >= received_ms + card.stall_ms) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void dispatch(sim_conn& conn, const request_buffer& req, sim_outcome* out) {
  const sim_request& h = req.head;
  if (h.op != SIM_OP_IOCTL && h.len) return out->fail(EINVAL);
  switch (h.op) {
    case SIM_OP_IOCTL:
      return conn_ioctl(conn, h.arg0, req.data, h.len, out);
    case SIM_OP_MMAP:
      return conn_mmap(conn, h.arg0, h.arg1, h.arg2, out);
    case SIM_OP_READ:
      return conn_read(conn, h.arg0, out);
    case SIM_OP_REG_READ:
    case SIM_OP_REG_WRITE:
      return conn_reg_access(conn, h.op, h.arg0, h.arg1, h.arg2, out);
    default:
      return out->fail(EINVAL);
  }
}

bool send_reply(int fd, uint64_t seq, const sim_outcome& out) {
  sim_reply rep{SIM_PROTO_MAGIC, out.err, seq, out.result, out.value, out.len, 0};
  iovec iov[2] = {{&rep, sizeof rep}, {const_cast<unsigned char*>(out.data), out.len}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = out.len ? 2 : 1;
  alignas(cmsghdr) char control[CMSG_SPACE(SIM_MAX_PASSED_FDS * sizeof(int))];
  if (out.pass_count) {
    size_t bytes = size_t(out.pass_count) * sizeof(int);
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(bytes);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(bytes);
    memcpy(CMSG_DATA(c), out.pass_fds, bytes);
  }
  // A client that lets its replies pile up is dropped rather than waited for.
  return sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0;
}

}  // namespace

sim_proto_server::~sim_proto_server() {
  for (auto& [fd, conn] : conns_) close(fd);
  for (auto& [fd, dev] : listeners_) {
    close(fd);
    unlink(dev->node_path.c_str());
  }
  if (epoll_fd_ >= 0) close(epoll_fd_);
}

bool sim_proto_server::open_nodes(std::string* error) {
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd_ < 0) {
    *error = std::string("epoll: ") + strerror(errno);
    return false;
  }
  for (const auto& dev : card_.devices) {
    int fd = unix_listen(dev->node_path, SOCK_SEQPACKET, error);
    if (fd < 0) return false;
    listeners_[fd] = dev.get();
    epoll_event ev{EPOLLIN, {.fd = fd}};
    epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
  }
  return true;
}

void sim_proto_server::run(int stop_fd) {
  epoll_event stop{EPOLLIN, {.fd = stop_fd}};
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, stop_fd, &stop);
  epoll_event events[64];
  for (;;) {
    int n = epoll_wait(epoll_fd_, events, 64, -1);
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == stop_fd) return;
      if (auto l = listeners_.find(fd); l != listeners_.end()) {
        accept_all(fd, l->second);
      } else if (auto c = conns_.find(fd); c != conns_.end()) {
        if (events[i].events & EPOLLIN)
          serve(*c->second);
        else
          drop(fd);
      }
    }
  }
}

void sim_proto_server::accept_all(int listen_fd, sim_device* dev) {
  for (;;) {
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    auto conn = std::make_unique<sim_conn>();
    conn->fd = fd;
    conn->card = &card_;
    conn->dev = dev;
    conns_[fd] = std::move(conn);
    epoll_event ev{EPOLLIN, {.fd = fd}};
    epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
  }
}

void sim_proto_server::drop(int fd) {
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  close(fd);
  conns_.erase(fd);
}

void sim_proto_server::serve(sim_conn& conn) {
  // Left uninitialised: most requests carry a few bytes, and clearing 16 KiB for each
  // would cost more than serving it.
  auto req = std::make_unique_for_overwrite<request_buffer>();
  iovec iov{req.get(), sizeof *req};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  ssize_t n = recvmsg(conn.fd, &msg, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  // End of the connection, or a message too broken to answer (no sequence number).
  if (n < ssize_t(sizeof req->head) || req->head.magic != SIM_PROTO_MAGIC) return drop(conn.fd);
  int64_t received = monotonic_ms();
  auto out = std::make_unique<sim_outcome>();
  if ((msg.msg_flags & MSG_TRUNC) || size_t(n) != sizeof req->head + req->head.len)
    out->fail(EMSGSIZE);
  else
    dispatch(conn, *req, out.get());
  stall_wait(card_, received);
  if (!send_reply(conn.fd, req->head.seq, *out)) drop(conn.fd);
}

}  // namespace zsim
