#include "tcp_pkt_sock.h"

#include <linux/filter.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kvel {
namespace {

void close_received(msghdr& msg) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < n; ++i) {
      int fd;
      memcpy(&fd, CMSG_DATA(c) + i * sizeof fd, sizeof fd);
      close(fd);
    }
  }
}

// The one descriptor of a whole hand-off message, or -1. Every descriptor that came
// with a message that is not exactly the hand-off is closed, so none leaks.
int take_handed_descriptor(msghdr& msg, ssize_t n, const char* data) {
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  const bool data_ok =
      n == sizeof PKT_HANDOFF_DATA && memcmp(data, PKT_HANDOFF_DATA, sizeof PKT_HANDOFF_DATA) == 0;
  const bool whole = data_ok && !(msg.msg_flags & MSG_CTRUNC) && c &&
                     c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
                     c->cmsg_len == CMSG_LEN(sizeof(int)) && !CMSG_NXTHDR(&msg, c);
  if (!whole) {
    close_received(msg);
    return -1;
  }
  int fd;
  memcpy(&fd, CMSG_DATA(c), sizeof fd);
  if (is_raw_packet_socket(fd)) return fd;
  close(fd);
  return -1;
}

int handoff_connection() {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // A daemon that is stuck must not hang the connect of the application.
  const timeval limit{PKT_HANDOFF_TIMEOUT_MS / 1000, (PKT_HANDOFF_TIMEOUT_MS % 1000) * 1000};
  const sockaddr_un addr = pkt_handoff_address();
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0 ||
      connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

sockaddr_un pkt_handoff_address() {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, PKT_HANDOFF_PATH, sizeof PKT_HANDOFF_PATH);
  return addr;
}

ssize_t send_with_descriptor(int conn, const void* data, size_t len, int fd) {
  iovec iov{const_cast<void*>(data), len};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg = one_buffer_message(&iov, control, sizeof control);
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_len = CMSG_LEN(sizeof(int));
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  memcpy(CMSG_DATA(c), &fd, sizeof fd);
  return sendmsg(conn, &msg, MSG_NOSIGNAL);
}

int drop_all_received(int fd) {
  sock_filter drop[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
  const sock_fprog prog{1, drop};
  const int lock = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) != 0) return -1;
  return setsockopt(fd, SOL_SOCKET, SO_LOCK_FILTER, &lock, sizeof lock);
}

int open_send_only_packet_socket() {
  const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (drop_all_received(fd) != 0) {
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

bool is_raw_packet_socket(int fd) {
  int domain = 0, type = 0;
  socklen_t len = sizeof domain;
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0) return false;
  len = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return false;
  return domain == AF_PACKET && type == SOCK_RAW;
}

bool peer_is_root(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred &&
         cred.uid == 0;
}

int receive_handed_packet_socket() {
  const int conn = handoff_connection();
  if (conn < 0) return -1;
  if (!peer_is_root(conn)) {
    close(conn);
    return -1;
  }
  char data[256];
  alignas(cmsghdr) char control[256];
  iovec iov{data, sizeof data};
  msghdr msg = one_buffer_message(&iov, control, sizeof control);
  const ssize_t n = recvmsg(conn, &msg, MSG_CMSG_CLOEXEC);
  close(conn);
  return n < 0 ? -1 : take_handed_descriptor(msg, n, data);
}

}  // namespace kvel
