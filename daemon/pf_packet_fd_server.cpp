#include "pf_packet_fd_server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tcp/tcp_pkt_sock.h"

namespace zorvd {
namespace {

constexpr int LISTEN_BACKLOG = 16;
constexpr long ACCEPT_RETRY_NS = 10 * 1000 * 1000;
constexpr int BIND_TRIES = 3;

void require_packet_sockets() {
  const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    puts("zorvnic daemon needs to be started as root");
    exit(1);
  }
  close(fd);
}

enum class path_owner { nobody, root, other_user };

// Who serves the hand-off path now. A root server is another daemon (-m), whose socket
// must stay; any other user's server only stands in the way.
path_owner who_serves(const sockaddr_un& addr) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return path_owner::nobody;
  const bool answered = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  const int err = errno;
  const bool root = answered && kvel::peer_is_root(fd);
  close(fd);
  if (answered) return root ? path_owner::root : path_owner::other_user;
  // A server whose backlog is full cannot be asked; the socket file's owner bound it.
  struct stat st;
  if (err == EAGAIN && lstat(kvel::PKT_HANDOFF_PATH, &st) == 0)
    return st.st_uid == 0 ? path_owner::root : path_owner::other_user;
  return path_owner::nobody;
}

// The path bound to a new socket. The file there (left by a daemon that was killed, or
// put there by another user) is removed first; a user who puts it back between the two
// steps is met by the next try.
bool bind_path(int fd, const sockaddr_un& addr) {
  for (int tries = 0; tries < BIND_TRIES; ++tries) {
    unlink(kvel::PKT_HANDOFF_PATH);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return true;
    if (errno != EADDRINUSE) return false;
  }
  return false;
}

// The listening hand-off socket, or -1.
int open_listener() {
  const sockaddr_un addr = kvel::pkt_handoff_address();
  const path_owner owner = who_serves(addr);
  if (owner == path_owner::root) return -1;
  if (owner == path_owner::other_user)
    printf("kvel: %s was served by a process that is not root, taking it over\n",
           kvel::PKT_HANDOFF_PATH);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (!bind_path(fd, addr) || listen(fd, LISTEN_BACKLOG) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

pf_packet_fd_server::pf_packet_fd_server(const char* group) : group_(find_handoff_group(group)) {
  require_packet_sockets();
  if (!group_.exists)
    printf("kvel: Group %s does not exist: packet sockets are handed to root only. Create it "
           "and add the users who may run TCP over the card.\n",
           group_.name.c_str());
  listen_fd_ = open_listener();
  if (listen_fd_ < 0) return;
  restrict_file();
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

// The file's permissions keep everybody else from connecting; the credentials checked
// for each client are what decides.
void pf_packet_fd_server::restrict_file() const {
  if (group_.exists && chown(kvel::PKT_HANDOFF_PATH, 0, group_.gid) == 0) {
    chmod(kvel::PKT_HANDOFF_PATH, 0660);
  } else {
    chmod(kvel::PKT_HANDOFF_PATH, 0600);
  }
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
    if (peer_may_have_packet_socket(conn, group_)) hand_over(conn);
    close(conn);
  }
}

// The socket handed out can send on any interface it is bound to but receives nothing,
// so a client cannot use it to watch the host's traffic.
void pf_packet_fd_server::hand_over(int conn) {
  const int pkt = kvel::open_send_only_packet_socket();
  if (pkt < 0) return;
  // A client that has gone away gets nothing.
  kvel::send_with_descriptor(conn, kvel::PKT_HANDOFF_DATA, sizeof kvel::PKT_HANDOFF_DATA, pkt);
  close(pkt);
}

}  // namespace zorvd
