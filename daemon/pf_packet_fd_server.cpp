#include "pf_packet_fd_server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tcp/tcp_pkt_sock.h"

namespace zorvd {
namespace {

constexpr int LISTEN_BACKLOG = 16;
constexpr long ACCEPT_RETRY_NS = 10 * 1000 * 1000;

void require_packet_sockets() {
  const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    puts("zorvnic daemon needs to be started as root");
    exit(1);
  }
  close(fd);
}

// True when a server answers on the hand-off path: its file must stay.
bool path_served(const sockaddr_un& addr) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool served = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return served;
}

// The listening hand-off socket that every local user may connect to, or -1.
int open_listener() {
  const sockaddr_un addr = kvel::pkt_handoff_address();
  if (path_served(addr)) return -1;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // A file left by a daemon that was killed would make the bind fail.
  unlink(kvel::PKT_HANDOFF_PATH);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd, LISTEN_BACKLOG) != 0) {
    close(fd);
    return -1;
  }
  chmod(kvel::PKT_HANDOFF_PATH, 0777);
  return fd;
}

}  // namespace

pf_packet_fd_server::pf_packet_fd_server() {
  require_packet_sockets();
  listen_fd_ = open_listener();
  if (listen_fd_ < 0) return;
  struct stat st;
  if (stat(kvel::PKT_HANDOFF_PATH, &st) == 0) {
    file_dev_ = st.st_dev;
    file_ino_ = st.st_ino;
  }
  running_.exchange(true);
  thread_ = std::thread(&pf_packet_fd_server::serve_clients, this);
}

// The listening descriptor is closed only after the thread has left accept for good:
// closed earlier, its number could be reused under the thread's feet.
pf_packet_fd_server::~pf_packet_fd_server() {
  running_.exchange(false);
  if (listen_fd_ >= 0) {
    shutdown(listen_fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    close(listen_fd_);
    listen_fd_ = -1;
    remove_own_file();
  }
}

void pf_packet_fd_server::remove_own_file() const {
  struct stat st;
  if (stat(kvel::PKT_HANDOFF_PATH, &st) == 0 && st.st_dev == file_dev_ && st.st_ino == file_ino_)
    unlink(kvel::PKT_HANDOFF_PATH);
}

void pf_packet_fd_server::serve_clients() {
  while (running_.load()) {
    const int conn = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) {
      // Out of descriptors, for one: wait a little rather than spin on the failure.
      const timespec pause{0, ACCEPT_RETRY_NS};
      if (running_.load()) nanosleep(&pause, nullptr);
      continue;
    }
    hand_over(conn);
    close(conn);
  }
}

// The socket handed out can send on any interface it is bound to but receives nothing,
// so a client cannot use it to watch the host's traffic.
void pf_packet_fd_server::hand_over(int conn) {
  const int pkt = kvel::open_send_only_packet_socket();
  if (pkt < 0) return;
  char data[sizeof kvel::PKT_HANDOFF_DATA];
  memcpy(data, kvel::PKT_HANDOFF_DATA, sizeof data);
  iovec iov{data, sizeof data};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg = kvel::one_buffer_message(&iov, control, sizeof control);
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_len = CMSG_LEN(sizeof(int));
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  memcpy(CMSG_DATA(c), &pkt, sizeof pkt);
  // A client that has gone away gets nothing; MSG_NOSIGNAL keeps that from killing us.
  sendmsg(conn, &msg, MSG_NOSIGNAL);
  close(pkt);
}

}  // namespace zorvd
