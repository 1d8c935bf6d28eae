// A program whose descriptor calls on its sockets the descriptor tests run with and
// without a preload library, against descriptor_peer.py in the peer namespace: closes
// the C library's close does not see, the dup family, a forked child, and sendfile. It
// prints what the test compares (results with errno names, never numbers that change
// from run to run).
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "helper_net.h"

namespace {

int connected(const char* ip, int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = inet(ip, port);
  if (connect(s, sa(&a), sizeof a) != 0) {
    printf("connect -1 %s\n", errno_name(errno));
    exit(1);
  }
  return s;
}

// A listener that says so once it listens; the program ends when it cannot listen.
int listening(const char* ip, int port) {
  int l = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a = inet(ip, port);
  if (bind(l, sa(&a), sizeof a) != 0 || listen(l, 4) != 0) {
    printf("listen -1 %s\n", errno_name(errno));
    exit(1);
  }
  printf("listening\n");
  return l;
}

bool put(int fd, const char* text) {
  return write(fd, text, strlen(text)) == ssize_t(strlen(text));
}

// The socket that the next call gets after syscall(SYS_close) has the same number and
// works; the closed connection's peer sees it end.
int syscall_close(const char* peer_ip, int port, const char* card_ip, int listen_port) {
  int c = connected(peer_ip, port);
  put(c, "closed-by-syscall");
  printf("syscall close %ld\n", syscall(SYS_close, c));
  int d = connected(peer_ip, port);
  printf("socket after syscall close: same number %d, write %d\n", d == c, put(d, "next-socket"));
  close(d);
  int l = listening(card_ip, listen_port);
  int first = accept(l, nullptr, nullptr);
  put(first, "first-accepted");
  syscall(SYS_close, first);
  int second = accept(l, nullptr, nullptr);
  printf("accept after syscall close: same number %d, write %d\n", second == first,
         put(second, "second-accepted"));
  close(second);
  close(l);
  return 0;
}

// The duplicating calls: a write on either number arrives, a close of one leaves the
// other working, the last close ends the connection (the peer prints it).
int duplicate(const char* way, int c) {
  if (strcmp(way, "dup") == 0) return dup(c);
  if (strcmp(way, "dup2") == 0) return dup2(c, c + 5);
  if (strcmp(way, "dup3") == 0) return dup3(c, c + 5, O_CLOEXEC);
  if (strcmp(way, "syscall-dup") == 0) return int(syscall(SYS_dup, c));
  return fcntl(c, F_DUPFD_CLOEXEC, 0);
}

int dup_family(const char* peer_ip, int port) {
  const char* ways[] = {"dup", "dup2", "dup3", "F_DUPFD_CLOEXEC", "syscall-dup"};
  for (const char* way : ways) {
    int c = connected(peer_ip, port);
    int d = duplicate(way, c);
    const int flags_c = fcntl(c, F_GETFD), flags_d = fcntl(d, F_GETFD);
    put(c, way);
    put(d, ":on-copy");
    close(c);
    const bool after = put(d, ":after-first-close");
    printf("%s: cloexec %d %d, write after closing the first %d, close %d\n", way,
           flags_c & FD_CLOEXEC, flags_d & FD_CLOEXEC, after, close(d));
    usleep(100000);
  }
  // inetd's way: the socket becomes standard output, then standard output is put back,
  // which closes the socket's last number there. (The C library's stdio writes past any
  // interposer, so the program writes with write.)
  int c = connected(peer_ip, port);
  const int saved = dup(1);
  dup2(c, 1);
  close(c);
  put(1, "stdout:on-standard-output");
  dup2(saved, 1);
  close(saved);
  printf("stdout: put back\n");
  return 0;
}

// A forked child's calls on an inherited socket; the parent's connection goes on.
int fork_child(const char* peer_ip, int port) {
  int c = connected(peer_ip, port);
  put(c, "parent-before;");
  fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    const ssize_t n = write(c, "child;", 6);
    printf("child write %s\n", n == 6 ? "6" : errno_name(errno));
    printf("child close %d\n", close(c));
    fflush(stdout);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  printf("parent write after the child %d\n", put(c, "parent-after"));
  close(c);
  return 0;
}

// An accept-fork loop's one turn: the child serves the accepted connection, the parent
// closes its copy at once.
int fork_server(const char* card_ip, int port) {
  int l = listening(card_ip, port);
  int c = accept(l, nullptr, nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    char buf[100];
    const ssize_t n = recv(c, buf, sizeof buf, 0);
    if (n < 0) {
      printf("child recv %s\n", errno_name(errno));
    } else {
      printf("child echoed %zd, send %d\n", n, send(c, buf, size_t(n), 0) == n);
    }
    close(c);
    _exit(0);
  }
  close(c);
  int status = 0;
  waitpid(pid, &status, 0);
  printf("parent: child ended %d\n", WEXITSTATUS(status));
  close(l);
  return 0;
}

// sendfile at an offset, then from the file position, then on a non-blocking socket in
// partial counts: the offset and the position move by what was sent.
int send_file(const char* peer_ip, int port) {
  const size_t size = 4 << 20;
  std::vector<char> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = char((i * 7919) >> 5);
  int f = open("sendfile.data", O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (f < 0 || write(f, data.data(), size) != ssize_t(size)) return printf("file failed\n"), 1;
  int c = connected(peer_ip, port);
  off_t off = 0;
  ssize_t n = sendfile(c, f, &off, 1 << 20);
  printf("sendfile at offset %zd, offset now %ld, position %ld\n", n, long(off),
         long(lseek(f, 0, SEEK_CUR)));
  lseek(f, off, SEEK_SET);
  n = sendfile(c, f, nullptr, 1 << 20);
  printf("sendfile from the position %zd, position now %ld\n", n, long(lseek(f, 0, SEEK_CUR)));
  fcntl(c, F_SETFL, O_NONBLOCK);
  long total = 0;
  bool partial_or_again = false;
  while (total < long(size) / 2) {
    n = sendfile(c, f, nullptr, size / 2 - size_t(total));
    if (n < 0 && errno != EAGAIN) return printf("sendfile -1 %s\n", errno_name(errno)), 1;
    partial_or_again = partial_or_again || n < long(size / 2 - size_t(total));
    if (n > 0) total += n;
    pollfd p{c, POLLOUT, 0};
    if (n <= 0) poll(&p, 1, 1000);
  }
  printf("non-blocking sendfile %ld, position now %ld, partial or EAGAIN seen %d\n", total,
         long(lseek(f, 0, SEEK_CUR)), partial_or_again);
  close(c);
  close(f);
  unlink("sendfile.data");
  return 0;
}

// Threads that duplicate and close copies of one socket while another writes on it: the
// shared record's count, under the thread sanitizer.
int dup_threads(const char* peer_ip, int port, int threads) {
  int c = connected(peer_ip, port);
  std::atomic<bool> stop{false};
  std::vector<std::thread> copiers;
  for (int t = 0; t < threads; ++t)
    copiers.emplace_back([&] {
      while (!stop.load()) {
        int d = dup(c);
        int e = fcntl(d, F_DUPFD_CLOEXEC, 0);
        close(d);
        close(e);
      }
    });
  long written = 0;
  for (int i = 0; i < 2000; ++i) written += put(c, "0123456789abcdef") ? 16 : 0;
  stop.store(true);
  for (auto& t : copiers) t.join();
  printf("written %ld while copies came and went\n", written);
  close(c);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  const std::string mode = argc > 1 ? argv[1] : "";
  const char* ip = argc > 2 ? argv[2] : "";
  const int port = argc > 3 ? atoi(argv[3]) : 0;
  if (mode == "syscall-close" && argc > 5) return syscall_close(ip, port, argv[4], atoi(argv[5]));
  if (mode == "dup-family") return dup_family(ip, port);
  if (mode == "fork-child") return fork_child(ip, port);
  if (mode == "sendfile") return send_file(ip, port);
  if (mode == "fork-server") return fork_server(ip, port);
  if (mode == "dup-threads") return dup_threads(ip, port, 4);
  fprintf(stderr, "usage: descriptor_helper MODE PEER_IP PORT [CARD_IP LISTEN_PORT]\n");
  return 2;
}
