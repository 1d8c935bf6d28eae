// An ordinary program whose calls the kernel answers one way: run without a preload
// library and under one, its output must be the same.
//   argument_cases_helper undecided   options and listen on sockets not yet bound or
//                                     connected (which the card may still serve), and
//                                     the listen of a socket never bound
//   argument_cases_helper bad CARD    bad arguments: null pointers, counts of 0, socket
//                                     calls on epoll sets and eventfds, epoll flags the
//                                     kernel refuses, on sockets bound to CARD or fresh,
//                                     and the data calls of a listener on CARD
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// One line per case: its name, the result and errno's name, and what it read.
void report(const char* what, long rc, const std::string& value = "") {
  std::string line = std::string(what) + ": " + std::to_string(rc);
  if (rc < 0) line += std::string(" ") + strerrorname_np(errno);
  if (!value.empty()) line += " " + value;
  puts(line.c_str());
}

sockaddr* sa(sockaddr_in* a) { return reinterpret_cast<sockaddr*>(a); }

// ---- sockets not yet bound or connected ---------------------------------------------

struct option_case {
  int type;
  const char* what;
  int level, name;
  int value;       // set when len is non-zero
  socklen_t len;   // 0: only a read
  socklen_t room;  // the read's room; 0: no read
};

// Each case on a fresh socket: a set (when len is given), then a read of the same option.
const option_case option_cases[] = {
    {SOCK_STREAM, "read SO_REUSEADDR", SOL_SOCKET, SO_REUSEADDR, 0, 0, 4},
    {SOCK_STREAM, "SO_REUSEADDR 1", SOL_SOCKET, SO_REUSEADDR, 1, 4, 4},
    {SOCK_DGRAM, "SO_REUSEPORT 1", SOL_SOCKET, SO_REUSEPORT, 1, 4, 4},
    {SOCK_STREAM, "SO_RCVBUF 1024", SOL_SOCKET, SO_RCVBUF, 1024, 4, 4},
    {SOCK_DGRAM, "SO_RCVBUF 1024", SOL_SOCKET, SO_RCVBUF, 1024, 4, 4},
    {SOCK_DGRAM, "SO_RCVBUF 1 GiB", SOL_SOCKET, SO_RCVBUF, 1 << 30, 4, 4},
    {SOCK_DGRAM, "SO_RCVBUF -1", SOL_SOCKET, SO_RCVBUF, -1, 4, 4},
    {SOCK_DGRAM, "SO_RCVBUF in 8 bytes", SOL_SOCKET, SO_RCVBUF, 65536, 8, 4},
    {SOCK_STREAM, "SO_SNDBUF 4096", SOL_SOCKET, SO_SNDBUF, 4096, 4, 4},
    {SOCK_STREAM, "read SO_SNDBUF", SOL_SOCKET, SO_SNDBUF, 0, 0, 4},
    {SOCK_STREAM, "read SO_KEEPALIVE", SOL_SOCKET, SO_KEEPALIVE, 0, 0, 4},
    {SOCK_STREAM, "read SO_LINGER", SOL_SOCKET, SO_LINGER, 0, 0, 8},
    {SOCK_STREAM, "read SO_TYPE", SOL_SOCKET, SO_TYPE, 0, 0, 4},
    {SOCK_STREAM, "read SO_ERROR", SOL_SOCKET, SO_ERROR, 0, 0, 4},
    {SOCK_STREAM, "read SO_ACCEPTCONN", SOL_SOCKET, SO_ACCEPTCONN, 0, 0, 4},
    {SOCK_STREAM, "read SO_REUSEADDR in 2 bytes", SOL_SOCKET, SO_REUSEADDR, 0, 0, 2},
    {SOCK_STREAM, "read TCP_NODELAY", IPPROTO_TCP, TCP_NODELAY, 0, 0, 4},
    {SOCK_STREAM, "TCP_NODELAY 1", IPPROTO_TCP, TCP_NODELAY, 1, 4, 4},
    {SOCK_STREAM, "read TCP_MAXSEG", IPPROTO_TCP, TCP_MAXSEG, 0, 0, 4},
    {SOCK_STREAM, "read TCP_KEEPIDLE", IPPROTO_TCP, TCP_KEEPIDLE, 0, 0, 4},
    {SOCK_DGRAM, "TCP_NODELAY 1 on UDP", IPPROTO_TCP, TCP_NODELAY, 1, 4, 4},
    {SOCK_STREAM, "IP_TOS in 1 byte", IPPROTO_IP, IP_TOS, 16, 1, 4},
    {SOCK_STREAM, "IP_TOS 16", IPPROTO_IP, IP_TOS, 16, 4, 4},
    {SOCK_DGRAM, "IP_TTL -1", IPPROTO_IP, IP_TTL, -1, 4, 4},
    {SOCK_DGRAM, "IP_TTL 0", IPPROTO_IP, IP_TTL, 0, 4, 4},
    {SOCK_DGRAM, "IP_MULTICAST_LOOP 1", IPPROTO_IP, IP_MULTICAST_LOOP, 1, 4, 4},
    {SOCK_DGRAM, "IP_RECVERR 1", IPPROTO_IP, IP_RECVERR, 1, 4, 4},
    {SOCK_DGRAM, "SO_TIMESTAMPNS 1", SOL_SOCKET, SO_TIMESTAMPNS, 1, 4, 4},
    {SOCK_DGRAM, "SO_PRIORITY in 2 bytes", SOL_SOCKET, SO_PRIORITY, 3, 2, 4},
    {SOCK_DGRAM, "UDP_CORK 1", IPPROTO_UDP, UDP_CORK, 1, 4, 4},
    {SOCK_DGRAM, "unknown level", 99, 1, 1, 4, 4},
};

void option_case_run(const option_case& c) {
  const int s = socket(AF_INET, c.type, 0);
  std::string what = std::string(c.type == SOCK_STREAM ? "tcp " : "udp ") + c.what;
  if (c.len != 0) {
    int v[2] = {c.value, 0};
    errno = 0;
    report((what + " set").c_str(), setsockopt(s, c.level, c.name, v, c.len));
  }
  if (c.room != 0) {
    int v[4] = {};
    socklen_t room = c.room;
    errno = 0;
    const int rc = getsockopt(s, c.level, c.name, v, &room);
    report((what + " read").c_str(), rc,
           rc == 0 ? "len " + std::to_string(room) + " value " + std::to_string(v[0]) : "");
  }
  close(s);
}

// The second receive time-stamp mode the kernel takes on a socket not yet on the card.
void two_stamp_modes() {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
  errno = 0;
  report("udp SO_TIMESTAMPNS after SO_TIMESTAMP", setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on));
  close(s);
}

// listen on a socket never bound: the kernel binds it to an ephemeral port on any
// address; a client reaches it over loopback.
void listen_unbound() {
  const int l = socket(AF_INET, SOCK_STREAM, 0);
  errno = 0;
  report("listen unbound", listen(l, 4));
  sockaddr_in name{};
  socklen_t len = sizeof name;
  getsockname(l, sa(&name), &len);
  char ip[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &name.sin_addr, ip, sizeof ip);
  report("listen unbound name", 0, std::string(ip) + (name.sin_port != 0 ? " port set" : " port 0"));
  int accepting = 0;
  socklen_t alen = sizeof accepting;
  getsockopt(l, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &alen);
  report("listen unbound SO_ACCEPTCONN", 0, std::to_string(accepting));
  const int c = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to = name;
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  errno = 0;
  report("connect to it", connect(c, sa(&to), sizeof to));
  const int a = accept(l, nullptr, nullptr);
  report("accept from it", a < 0 ? a : 0);
  errno = 0;
  report("send to it", send(c, "hello", 5, 0));
  char buf[8] = {};
  report("receive it", a < 0 ? -1 : recv(a, buf, sizeof buf, 0), buf);
  for (int fd : {a, c, l}) close(fd);
  const int u = socket(AF_INET, SOCK_DGRAM, 0);
  errno = 0;
  report("listen unbound udp", listen(u, 4));
  close(u);
}

int undecided() {
  for (const option_case& c : option_cases) option_case_run(c);
  two_stamp_modes();
  listen_unbound();
  return 0;
}

// ---- bad arguments ----------------------------------------------------------------

// Socket calls on descriptors that are not sockets: ENOTSOCK, as on their kernel objects.
void not_sockets() {
  const int fds[] = {epoll_create1(0), eventfd(0, 0)};
  for (int fd : fds) {
    const std::string kind = fd == fds[0] ? "epoll " : "eventfd ";
    sockaddr_in a{};
    a.sin_family = AF_INET;
    socklen_t len = sizeof a;
    errno = 0;
    report((kind + "bind").c_str(), bind(fd, sa(&a), sizeof a));
    report((kind + "connect").c_str(), connect(fd, sa(&a), sizeof a));
    report((kind + "listen").c_str(), listen(fd, 1));
    report((kind + "accept").c_str(), accept(fd, nullptr, nullptr));
    report((kind + "getpeername").c_str(), getpeername(fd, sa(&a), &len));
    report((kind + "shutdown").c_str(), shutdown(fd, SHUT_RDWR));
    int v = 1;
    report((kind + "setsockopt").c_str(), setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &v, sizeof v));
  }
  for (int fd : fds) close(fd);
}

// The data calls of a listener on CARD: no connection to read from, no queue to count.
void tcp_listener(const sockaddr_in& local) {
  const int l = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = local;
  report("tcp listener bind", bind(l, sa(&a), sizeof a));
  report("tcp listener listen", listen(l, 4));
  char buf[4];
  int count = -1;
  errno = 0;
  report("tcp listener recv", recv(l, buf, sizeof buf, 0));
  report("tcp listener recv MSG_DONTWAIT", recv(l, buf, sizeof buf, MSG_DONTWAIT));
  report("tcp listener read", read(l, buf, sizeof buf));
  report("tcp listener FIONREAD", ioctl(l, FIONREAD, &count), std::to_string(count));
  report("tcp listener SIOCINQ", ioctl(l, SIOCINQ, &count), std::to_string(count));
  report("tcp listener SIOCOUTQ", ioctl(l, SIOCOUTQ, &count), std::to_string(count));
  close(l);
}

// Seen through a variable, so that the compiler's own check of a null array does not
// refuse the case the program makes on purpose.
pollfd* volatile no_entries = nullptr;

int bad(const char* card) {
  errno = 0;
  report("poll null with a count", poll(no_entries, 1, 0));
  report("poll null without a count", poll(nullptr, 0, 0));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, card, &local.sin_addr);
  const int u = socket(AF_INET, SOCK_DGRAM, 0);
  report("udp bind", bind(u, sa(&local), sizeof local));
  errno = 0;
  report("udp send without a destination", send(u, "x", 1, 0));
  report("udp sendmsg null", sendmsg(u, nullptr, 0));
  report("udp recvmsg null", recvmsg(u, nullptr, MSG_DONTWAIT));
  report("udp sendmmsg of 0", sendmmsg(u, nullptr, 0, 0));
  report("udp recvmmsg of 0", recvmmsg(u, nullptr, 0, 0, nullptr));
  report("udp recv MSG_ERRQUEUE", recv(u, nullptr, 0, MSG_ERRQUEUE | MSG_DONTWAIT));
  report("udp accept", accept(u, nullptr, nullptr));
  report("udp listen", listen(u, 1));
  sockaddr_in six{};
  six.sin_family = AF_INET6;
  report("udp connect AF_INET6", connect(u, sa(&six), sizeof six));
  report("udp connect short", connect(u, sa(&local), 8));
  report("udp connect length 0", connect(u, sa(&local), 0));
  int v = 0;
  socklen_t len = sizeof v;
  report("udp getsockopt TCP_NODELAY", getsockopt(u, IPPROTO_TCP, TCP_NODELAY, &v, &len));
  report("udp getsockopt null value", getsockopt(u, SOL_SOCKET, SO_TYPE, nullptr, &len));
  report("udp setsockopt null value", setsockopt(u, SOL_SOCKET, SO_PRIORITY, nullptr, 4));
  report("udp setsockopt unknown level", setsockopt(u, 99, 1, &v, sizeof v));
  const int ep = epoll_create1(0);
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLEXCLUSIVE | EPOLLONESHOT;
  report("epoll add EPOLLEXCLUSIVE|EPOLLONESHOT", epoll_ctl(ep, EPOLL_CTL_ADD, u, &ev));
  close(ep);
  close(u);
  const int t = socket(AF_INET, SOCK_STREAM, 0);
  report("tcp accept unlistened", accept(t, nullptr, nullptr));
  close(t);
  tcp_listener(local);
  not_sockets();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "undecided" && argc == 2) return undecided();
  if (mode == "bad" && argc == 3) return bad(argv[2]);
  fprintf(stderr, "usage: see the head of argument_cases_helper.cpp\n");
  return 2;
}
