// A program with blocking sockets that the connection tests run with and without a
// preload library: each mode connects, binds, listens or accepts against Linux peers and
// prints what the test compares (results with errno names, never numbers that change
// from run to run).
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "helper_net.h"

namespace {

void report(const char* what, long result) {
  if (result < 0)
    printf("%s -1 %s\n", what, errno_name(errno));
  else
    printf("%s ok\n", what);
}

int tcp_socket(int flags = 0) { return socket(AF_INET, SOCK_STREAM | flags, 0); }

// A name call into a buffer full of 0xAA: the address printed, whether the eight
// padding bytes came back zero, and the length reported.
void print_name(const char* what, int (*call)(int, sockaddr*, socklen_t*), int fd,
                bool with_port) {
  sockaddr_in a;
  memset(&a, 0xAA, sizeof a);
  socklen_t len = sizeof a;
  if (call(fd, sa(&a), &len) != 0) return report(what, -1);
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  bool zero = true;
  for (unsigned char c : a.sin_zero) zero = zero && c == 0;
  printf("%s %s", what, text);
  if (with_port) printf(":%d", ntohs(a.sin_port));
  printf(" port-set %d sin_zero %s len %d\n", a.sin_port != 0, zero ? "zero" : "dirty", int(len));
}

// The name calls with odd arguments, as every socket answers them.
void odd_name_calls(int fd) {
  sockaddr_in a{};
  socklen_t len = 8;
  memset(&a, 0xAA, sizeof a);
  report("getsockname-len8", getsockname(fd, sa(&a), &len));
  printf("len8 wrote-family %d len %d tail-untouched %d\n", a.sin_family == AF_INET, int(len),
         reinterpret_cast<unsigned char*>(&a)[8] == 0xAA);
  len = sizeof a;
  report("getsockname-null-addr", getsockname(fd, nullptr, &len));
  report("getsockname-null-len", getsockname(fd, sa(&a), nullptr));
  report("getpeername-null-len", getpeername(fd, sa(&a), nullptr));
}

int connect_to(int fd, const char* ip, int port) {
  sockaddr_in a = inet(ip, port);
  return connect(fd, sa(&a), sizeof a);
}

// A client of a peer that accepts and holds the connection.
int client(const char* ip, int port) {
  int s = tcp_socket();
  report("getpeername-unconnected", getpeername(s, nullptr, nullptr));
  report("shutdown-unconnected", shutdown(s, SHUT_WR));
  report("connect", connect_to(s, ip, port));
  print_name("getsockname", getsockname, s, false);
  print_name("getpeername", getpeername, s, true);
  odd_name_calls(s);
  report("connect-again", connect_to(s, ip, port));
  report("shutdown-how-7", shutdown(s, 7));
  print_name("getpeername-still", getpeername, s, true);
  report("close", close(s));
  return 0;
}

int blocking_refused(const char* ip, int port) {
  int s = tcp_socket();
  report("connect-closed-port", connect_to(s, ip, port));
  close(s);
  return 0;
}

// Non-blocking connect: EINPROGRESS, then the completion idiom (connect again until it no
// longer says EALREADY); SO_ERROR holds no error once connected.
int nonblocking(const char* ip, int port) {
  int s = tcp_socket(SOCK_NONBLOCK);
  report("connect", connect_to(s, ip, port));
  int r = -1, e = EALREADY;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (r != 0 && e == EALREADY && std::chrono::steady_clock::now() < until) {
    r = connect_to(s, ip, port);
    e = errno;
    if (r != 0 && e == EALREADY) usleep(1000);
  }
  printf("completion %s\n", r == 0 || e == EISCONN ? "connected" : errno_name(e));
  report("connect-third", connect_to(s, ip, port));
  int err = -1;
  socklen_t len = sizeof err;
  report("so_error-call", getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len));
  printf("so_error %d len %d\n", err, int(len));
  print_name("getpeername", getpeername, s, true);
  close(s);
  return 0;
}

// A server: bind, listen and n accepts (accept and accept4 in turn) from a peer client.
int server(const char* ip, int port, int n) {
  int l = tcp_socket();
  int one = 1;
  setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = inet(ip, port);
  report("bind", bind(l, sa(&a), sizeof a));
  report("bind-again", bind(l, sa(&a), sizeof a));
  report("listen", listen(l, 16));
  report("listen-again", listen(l, 16));
  print_name("listener-name", getsockname, l, true);
  report("connect-on-listener", connect_to(l, "198.18.0.2", 9));
  report("shutdown-listener-wr", shutdown(l, SHUT_WR));
  fflush(stdout);
  for (int i = 0; i < n; ++i) {
    sockaddr_in peer;
    memset(&peer, 0xAA, sizeof peer);
    socklen_t len = sizeof peer;
    int c = i % 2 ? accept4(l, sa(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC)
                  : accept(l, sa(&peer), &len);
    if (c < 0) return report("accept", -1), 1;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    printf("accepted %d from %s len %d sin_zero %s nonblock %d cloexec %d\n", i, text,
           int(len), peer.sin_zero[0] == 0 && peer.sin_zero[7] == 0 ? "zero" : "dirty",
           (fcntl(c, F_GETFL) & O_NONBLOCK) != 0, (fcntl(c, F_GETFD) & FD_CLOEXEC) != 0);
    print_name(" name", getsockname, c, true);
    close(c);
  }
  int u = socket(AF_INET, SOCK_DGRAM, 0);
  report("listen-udp", listen(u, 1));
  close(u);
  close(l);
  return 0;
}

// Sockets that stay with the kernel: a loopback server and client, the card's own
// address, a non-card interface and AF_UNSPEC on a card datagram socket.
int fallbacks(int port) {
  int l = tcp_socket();
  sockaddr_in lo = inet("127.0.0.1", port);
  report("lo-bind", bind(l, sa(&lo), sizeof lo));
  report("lo-listen", listen(l, 4));
  int c = tcp_socket();
  report("lo-connect", connect_to(c, "127.0.0.1", port));
  int own = tcp_socket();
  report("own-connect", connect_to(own, "198.18.0.1", port + 1));
  int other = socket(AF_INET, SOCK_DGRAM, 0);
  report("other-connect", connect_to(other, "10.77.0.2", port));
  int u = socket(AF_INET, SOCK_DGRAM, 0);
  report("card-udp-connect", connect_to(u, "198.18.0.2", port));
  sockaddr_in none{};
  none.sin_family = AF_UNSPEC;
  report("unspec-connect", connect(u, sa(&none), sizeof none));
  report("unspec-getpeername", getpeername(u, nullptr, nullptr));
  for (int fd : {l, c, own, other, u}) close(fd);
  return 0;
}

// A card bind keeps its port when the socket later goes to the kernel, and a port that
// is in use is refused as the kernel refuses it.
int keep_port(int port) {
  int s = tcp_socket();
  sockaddr_in a = inet("198.18.0.1", port);
  report("bind", bind(s, sa(&a), sizeof a));
  int t = tcp_socket();
  report("bind-same-port", bind(t, sa(&a), sizeof a));
  int l = tcp_socket();
  sockaddr_in lo = inet("127.0.0.1", port + 1);
  bind(l, sa(&lo), sizeof lo);
  listen(l, 1);
  report("connect-loopback", connect_to(s, "127.0.0.1", port + 1));
  sockaddr_in name{};
  socklen_t len = sizeof name;
  getsockname(s, sa(&name), &len);
  printf("after fallback: port kept %d\n", name.sin_port == a.sin_port);
  for (int fd : {s, t, l}) close(fd);
  return 0;
}

// Another thread's close, or shutdown (SHUT_RD) of a listener, ends a blocked accept or
// connect.
int ended_by(const char* what, bool by_shutdown, const char* ip, int port) {
  int s = tcp_socket();
  if (strcmp(what, "accept") == 0) {
    sockaddr_in a = inet(ip, port);
    bind(s, sa(&a), sizeof a);
    listen(s, 1);
  }
  std::atomic<int> result{1};
  std::atomic<int> error{0};
  std::thread waiter([&] {
    int r = strcmp(what, "accept") == 0 ? accept(s, nullptr, nullptr) : connect_to(s, ip, port);
    error = errno;
    result = r;
  });
  usleep(300000);
  if (by_shutdown)
    report("shutdown-rd", shutdown(s, SHUT_RD));
  else
    report("close", close(s));
  waiter.join();
  printf("%s ended %d %s\n", what, result.load(), errno_name(error.load()));
  if (by_shutdown) close(s);
  return 0;
}

int open_descriptors() {
  int n = 0;
  for (int fd = 0; fd < 65536; ++fd) n += fcntl(fd, F_GETFD) >= 0;
  return n;
}

// Echoes the few bytes the peer sent first on c; true when they came back whole.
bool echo_greeting(int c) {
  char buf[64];
  const ssize_t n = recv(c, buf, sizeof buf, 0);
  return n > 0 && send(c, buf, size_t(n), 0) == n;
}

// n connections accepted with RLIMIT_NOFILE 4096 (the low descriptors filled up to
// fill_to first), each echoing its greeting, and every one held; prints how many
// descriptors a connection costs the process, then holds them until the peer closes
// the first.
int many_accepts(const char* ip, int port, int n, int fill_to) {
  rlimit lim{4096, 4096};
  if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return report("setrlimit", -1), 1;
  int l = tcp_socket();
  sockaddr_in a = inet(ip, port);
  report("bind", bind(l, sa(&a), sizeof a));
  report("listen", listen(l, 128));
  std::vector<int> fill;
  int null_fd = open("/dev/null", O_RDONLY);
  while (fill.empty() || fill.back() < fill_to - 1) fill.push_back(dup(null_fd));
  int above = 0, named = 0, echoed = 0, highest = 0;
  const int before = open_descriptors();
  std::vector<int> held;
  for (int i = 0; i < n; ++i) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int c = accept(l, sa(&peer), &len);
    if (c < 0) return report("accept", -1), 1;
    above += c > 1023;
    highest = std::max(highest, c);
    sockaddr_in p{};
    socklen_t plen = sizeof p;
    named += getpeername(c, sa(&p), &plen) == 0 && p.sin_addr.s_addr == peer.sin_addr.s_addr;
    echoed += echo_greeting(c);
    held.push_back(c);
  }
  fprintf(stderr, "descriptors per connection %.1f\n",
          double(open_descriptors() - before) / n);
  printf("accepted %d above-1023 %d named %d echoed %d highest %d\n", n, above, named, echoed,
         highest);
  char end;
  recv(held[0], &end, 1, 0);
  for (int fd : held) close(fd);
  for (int fd : fill) close(fd);
  close(null_fd);
  close(l);
  return 0;
}

// The accept whose new descriptor would lie past the table: EMFILE, the connection stays
// waiting and a later accept (with a descriptor free below) takes it.
int accept_past_table(const char* ip, int port, int table_end) {
  rlimit lim{rlim_t(table_end + 64), rlim_t(table_end + 64)};
  if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return report("setrlimit", -1), 1;
  int l = tcp_socket();
  sockaddr_in a = inet(ip, port);
  report("bind", bind(l, sa(&a), sizeof a));
  report("listen", listen(l, 4));
  fflush(stdout);
  int null_fd = open("/dev/null", O_RDONLY);
  std::vector<int> fill;
  while (fill.empty() || fill.back() < table_end - 1) fill.push_back(dup(null_fd));
  int c = accept(l, nullptr, nullptr);
  printf("accept-past-table %d %s\n", c, c < 0 ? errno_name(errno) : "ok");
  close(fill[0]);
  c = accept(l, nullptr, nullptr);
  print_name("accept-below", getpeername, c, false);
  for (int fd : fill) close(fd);
  close(c);
  close(l);
  return 0;
}

// A card socket closed behind a close call (fclose of its stream, close_range, dup2 onto
// it): the file that gets its number next reads and writes as a file.
int closed_behind(int port) {
  const char* ways[] = {"fclose", "close_range", "dup2"};
  for (const char* way : ways) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = inet("198.18.0.1", port++);
    bind(s, sa(&a), sizeof a);
    int file = -1;
    if (strcmp(way, "fclose") == 0) {
      fclose(fdopen(s, "r+"));
    } else if (strcmp(way, "close_range") == 0) {
      close_range(unsigned(s), unsigned(s), 0);
    } else {
      file = open("closed_behind.txt", O_RDWR | O_CREAT | O_TRUNC, 0600);
      dup2(file, s);
      close(file);
    }
    if (file < 0) file = open("closed_behind.txt", O_RDWR | O_CREAT | O_TRUNC, 0600);
    const int fd = strcmp(way, "dup2") == 0 ? s : file;
    char back[4] = {};
    bool io = write(fd, "abc", 3) == 3 && lseek(fd, 0, SEEK_SET) == 0 && read(fd, back, 3) == 3 &&
              memcmp(back, "abc", 3) == 0;
    printf("%s: same number %d, file io %s\n", way, fd == s, io ? "ok" : "broken");
    close(fd);
    unlink("closed_behind.txt");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  std::string mode = argc > 1 ? argv[1] : "";
  const char* ip = argc > 2 ? argv[2] : "";
  int port = argc > 3 ? atoi(argv[3]) : 0;
  int n = argc > 4 ? atoi(argv[4]) : 0;
  if (mode == "client") return client(ip, port);
  if (mode == "refused") return blocking_refused(ip, port);
  if (mode == "nonblocking") return nonblocking(ip, port);
  if (mode == "server") return server(ip, port, n);
  if (mode == "fallbacks") return fallbacks(port);
  if (mode == "keep-port") return keep_port(port);
  if (mode == "close-wakes-accept") return ended_by("accept", false, ip, port);
  if (mode == "close-wakes-connect") return ended_by("connect", false, ip, port);
  if (mode == "shutdown-wakes-accept") return ended_by("accept", true, ip, port);
  if (mode == "many-accepts") return many_accepts(ip, port, n, argc > 5 ? atoi(argv[5]) : 0);
  if (mode == "closed-behind") return closed_behind(port);
  if (mode == "accept-past-table") return accept_past_table(ip, port, n);
  fprintf(stderr, "usage: ctl_helper MODE [IP PORT [N [FILL]]]\n");
  return 2;
}
