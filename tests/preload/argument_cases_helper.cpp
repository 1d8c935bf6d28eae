// An ordinary program whose calls the kernel answers one way: run without a preload
// library and under one, its output must be the same.
//   argument_cases_helper undecided   options and listen on sockets not yet bound or
//                                     connected (which the card may still serve), and
//                                     the listen of a socket never bound
//   argument_cases_helper bad CARD    bad arguments: null pointers, counts of 0, socket
//                                     calls on epoll sets and eventfds, epoll flags the
//                                     kernel refuses, on sockets bound to CARD or fresh,
//                                     and the data calls of a listener on CARD, and
//                                     the options the kernel twin keeps on the UDP one
//   argument_cases_helper tcp CARD PEER PORT
//                                     bad arguments and options of the kernel twin on
//                                     a TCP connection from CARD to the data peer at
//                                     PEER:PORT, a listener on CARD:PORT+1 and the
//                                     connection it accepts from the peer
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <string>
#include <sys/uio.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "helper_net.h"

namespace {

// One line per case: its name, the result and errno's name, and what it read.
void report(const char* what, long rc, const std::string& value = "") {
  std::string line = std::string(what) + ": " + std::to_string(rc);
  if (rc < 0) line += std::string(" ") + strerrorname_np(errno);
  if (!value.empty()) line += " " + value;
  puts(line.c_str());
}

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

// ---- options the kernel twin keeps ------------------------------------------------

struct kept_option {
  const char* what;
  int level, name;
  int value[2];
  socklen_t len;
};

// Options the card has no use for: each read before the set (what the socket has from
// its making or its listener), the set, and the read after it.
const kept_option kept_options[] = {
    {"SO_REUSEADDR", SOL_SOCKET, SO_REUSEADDR, {1, 0}, 4},
    {"SO_KEEPALIVE", SOL_SOCKET, SO_KEEPALIVE, {1, 0}, 4},
    {"SO_REUSEPORT", SOL_SOCKET, SO_REUSEPORT, {1, 0}, 4},
    {"SO_BROADCAST", SOL_SOCKET, SO_BROADCAST, {1, 0}, 4},
    {"SO_LINGER", SOL_SOCKET, SO_LINGER, {1, 5}, 8},
    {"SO_OOBINLINE", SOL_SOCKET, SO_OOBINLINE, {1, 0}, 4},
    {"SO_DONTROUTE", SOL_SOCKET, SO_DONTROUTE, {1, 0}, 4},
    {"TCP_KEEPIDLE", IPPROTO_TCP, TCP_KEEPIDLE, {30, 0}, 4},
    {"TCP_KEEPINTVL", IPPROTO_TCP, TCP_KEEPINTVL, {5, 0}, 4},
    {"TCP_KEEPCNT", IPPROTO_TCP, TCP_KEEPCNT, {4, 0}, 4},
    {"TCP_USER_TIMEOUT", IPPROTO_TCP, TCP_USER_TIMEOUT, {1000, 0}, 4},
    {"IP_TOS", IPPROTO_IP, IP_TOS, {16, 0}, 4},
    {"IP_RECVERR", IPPROTO_IP, IP_RECVERR, {1, 0}, 4},
    {"IP_FREEBIND", IPPROTO_IP, IP_FREEBIND, {1, 0}, 4},
};

void read_option(const std::string& what, int fd, const kept_option& o) {
  int v[2] = {-1, -1};
  socklen_t room = sizeof v;
  errno = 0;
  const int rc = getsockopt(fd, o.level, o.name, v, &room);
  std::string value;
  if (rc == 0) value = "len " + std::to_string(room) + " value " + std::to_string(v[0]);
  if (rc == 0 && room > sizeof(int)) value += " " + std::to_string(v[1]);
  report(what.c_str(), rc, value);
}

void kept_options_run(const std::string& kind, int fd) {
  for (const kept_option& o : kept_options) {
    const std::string what = kind + " " + o.what;
    read_option(what + " read", fd, o);
    errno = 0;
    report((what + " set").c_str(), setsockopt(fd, o.level, o.name, o.value, o.len));
    read_option(what + " read after set", fd, o);
  }
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
void* volatile no_buffer = nullptr;
msghdr* volatile no_message = nullptr;

int bad(const char* card) {
  errno = 0;
  report("poll null with a count", poll(no_entries, 1, 0));
  report("poll null without a count", poll(nullptr, 0, 0));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, card, &local.sin_addr);
  const int u = socket(AF_INET, SOCK_DGRAM, 0);
  report("udp bind", bind(u, sa(&local), sizeof local));
  kept_options_run("udp", u);
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

// ---- bad arguments on TCP connections and listeners --------------------------------

enum tcp_kind : unsigned { connection = 1, listener = 2, accepted = 4, any_tcp = 7 };

struct tcp_case {
  const char* what;
  unsigned kinds;
  // The call on fd; what it read, when it succeeds, into value.
  long (*run)(int fd, std::string& value);
};

long connect_to(int fd, int family, socklen_t len) {
  sockaddr_in a = inet("198.18.0.2", 9);
  a.sin_family = sa_family_t(family);
  return connect(fd, sa(&a), len);
}

long bind_again(int fd, std::string&) {
  sockaddr_in a = inet("198.18.0.1", 0);
  return bind(fd, sa(&a), sizeof a);
}

// A read with room bytes of room: the buffer holds the largest answer a case asks for.
long read_with_room(int fd, int level, int name, socklen_t room, std::string& value) {
  char v[sizeof(tcp_info)] = {};
  const long rc = getsockopt(fd, level, name, v, &room);
  value = "len " + std::to_string(room);
  return rc;
}

long set_int(int fd, int level, int name, socklen_t len) {
  const int v[2] = {1, 0};
  return setsockopt(fd, level, name, v, len);
}

// A name call with ROOM bytes of room (a negative one included), or none at all.
long name_call(int (*call)(int, sockaddr*, socklen_t*), int fd, bool with_len, int room,
               std::string& value) {
  sockaddr_in a{};
  socklen_t len = socklen_t(room);
  const long rc = call(fd, sa(&a), with_len ? &len : nullptr);
  if (rc == 0) value = "len " + std::to_string(len);
  return rc;
}

const tcp_case tcp_cases[] = {
    {"connect short", any_tcp, [](int fd, std::string&) { return connect_to(fd, AF_INET, 8); }},
    {"connect length 1", any_tcp, [](int fd, std::string&) { return connect_to(fd, AF_INET, 1); }},
    {"connect AF_INET6", any_tcp,
     [](int fd, std::string&) { return connect_to(fd, AF_INET6, sizeof(sockaddr_in)); }},
    {"bind again", any_tcp, bind_again},
    {"listen again", any_tcp, [](int fd, std::string&) { return long(listen(fd, 4)); }},
    {"accept", connection | accepted, [](int fd, std::string&) { return long(accept(fd, nullptr, nullptr)); }},
    {"accept null length", listener,
     [](int fd, std::string&) {
       sockaddr_in a{};
       return long(accept(fd, sa(&a), nullptr));
     }},
    {"accept length -1", listener,
     [](int fd, std::string&) {
       sockaddr_in a{};
       socklen_t len = socklen_t(-1);
       return long(accept(fd, sa(&a), &len));
     }},
    {"recv MSG_OOB", any_tcp,
     [](int fd, std::string&) {
       char b[4];
       return long(recv(fd, b, sizeof b, MSG_OOB | MSG_DONTWAIT));
     }},
    {"recv MSG_ERRQUEUE", any_tcp,
     [](int fd, std::string&) {
       char b[4];
       return long(recv(fd, b, sizeof b, MSG_ERRQUEUE | MSG_DONTWAIT));
     }},
    {"recv null buffer", any_tcp,
     [](int fd, std::string&) { return long(recv(fd, no_buffer, 5, MSG_DONTWAIT)); }},
    {"recv null buffer of 0", any_tcp,
     [](int fd, std::string&) { return long(recv(fd, no_buffer, 0, MSG_DONTWAIT)); }},
    {"read null buffer", connection,
     [](int fd, std::string&) { return long(read(fd, no_buffer, 5)); }},
    {"send null buffer", any_tcp,
     [](int fd, std::string&) { return long(send(fd, no_buffer, 5, MSG_NOSIGNAL)); }},
    {"write null buffer", connection | accepted,
     [](int fd, std::string&) { return long(write(fd, no_buffer, 5)); }},
    {"send MSG_ERRQUEUE", any_tcp,
     [](int fd, std::string&) { return long(send(fd, "", 0, MSG_ERRQUEUE | MSG_NOSIGNAL)); }},
    {"recvmsg null", any_tcp,
     [](int fd, std::string&) { return long(recvmsg(fd, no_message, MSG_DONTWAIT)); }},
    {"sendmsg null", any_tcp,
     [](int fd, std::string&) { return long(sendmsg(fd, no_message, MSG_NOSIGNAL)); }},
    {"getsockopt SO_TYPE null length", any_tcp,
     [](int fd, std::string&) {
       int v = 0;
       return long(getsockopt(fd, SOL_SOCKET, SO_TYPE, &v, nullptr));
     }},
    {"getsockopt SO_TYPE null value", any_tcp,
     [](int fd, std::string&) {
       socklen_t len = 4;
       return long(getsockopt(fd, SOL_SOCKET, SO_TYPE, no_buffer, &len));
     }},
    {"getsockopt SO_TYPE null value of 0", any_tcp,
     [](int fd, std::string& value) {
       socklen_t len = 0;
       const long rc = getsockopt(fd, SOL_SOCKET, SO_TYPE, no_buffer, &len);
       value = "len " + std::to_string(len);
       return rc;
     }},
    {"getsockopt SO_TYPE length -1", any_tcp,
     [](int fd, std::string& v) { return read_with_room(fd, SOL_SOCKET, SO_TYPE, socklen_t(-1), v); }},
    {"getsockopt SO_TYPE length 2", any_tcp,
     [](int fd, std::string& v) { return read_with_room(fd, SOL_SOCKET, SO_TYPE, 2, v); }},
    {"getsockopt SO_ERROR length 0", any_tcp,
     [](int fd, std::string& v) { return read_with_room(fd, SOL_SOCKET, SO_ERROR, 0, v); }},
    {"getsockopt unknown level", any_tcp,
     [](int fd, std::string& v) { return read_with_room(fd, 99, 1, 4, v); }},
    {"getsockopt unknown SOL_SOCKET name", any_tcp,
     [](int fd, std::string& v) { return read_with_room(fd, SOL_SOCKET, 9999, 4, v); }},
    {"getsockopt unknown TCP name", any_tcp,
     [](int fd, std::string& v) { return read_with_room(fd, IPPROTO_TCP, 9999, 4, v); }},
    {"getsockopt unknown IP name", any_tcp,
     [](int fd, std::string& v) { return read_with_room(fd, IPPROTO_IP, 9999, 4, v); }},
    {"getsockopt UDP_CORK", any_tcp,
     [](int fd, std::string& v) { return read_with_room(fd, IPPROTO_UDP, UDP_CORK, 4, v); }},
    {"getsockopt TCP_INFO in 8 bytes", any_tcp,
     [](int fd, std::string& v) { return read_with_room(fd, IPPROTO_TCP, TCP_INFO, 8, v); }},
    {"setsockopt null value", any_tcp,
     [](int fd, std::string&) { return long(setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, no_buffer, 4)); }},
    {"setsockopt SO_PRIORITY null value", any_tcp,
     [](int fd, std::string&) { return long(setsockopt(fd, SOL_SOCKET, SO_PRIORITY, no_buffer, 4)); }},
    {"setsockopt SO_KEEPALIVE in 2 bytes", any_tcp,
     [](int fd, std::string&) { return set_int(fd, SOL_SOCKET, SO_KEEPALIVE, 2); }},
    {"setsockopt SO_RCVBUF in 2 bytes", any_tcp,
     [](int fd, std::string&) { return set_int(fd, SOL_SOCKET, SO_RCVBUF, 2); }},
    {"setsockopt TCP_NODELAY in 2 bytes", any_tcp,
     [](int fd, std::string&) { return set_int(fd, IPPROTO_TCP, TCP_NODELAY, 2); }},
    {"setsockopt length -1", any_tcp,
     [](int fd, std::string&) { return set_int(fd, SOL_SOCKET, SO_KEEPALIVE, socklen_t(-1)); }},
    {"setsockopt unknown level", any_tcp,
     [](int fd, std::string&) { return set_int(fd, 99, 1, 4); }},
    {"setsockopt unknown SOL_SOCKET name", any_tcp,
     [](int fd, std::string&) { return set_int(fd, SOL_SOCKET, 9999, 4); }},
    {"setsockopt unknown TCP name", any_tcp,
     [](int fd, std::string&) { return set_int(fd, IPPROTO_TCP, 9999, 4); }},
    {"setsockopt UDP_CORK", any_tcp,
     [](int fd, std::string&) { return set_int(fd, IPPROTO_UDP, UDP_CORK, 4); }},
    {"setsockopt UDP_SEGMENT", any_tcp,
     [](int fd, std::string&) { return set_int(fd, IPPROTO_UDP, 103, 4); }},
    {"setsockopt IP_MULTICAST_LOOP", any_tcp,
     [](int fd, std::string&) { return set_int(fd, IPPROTO_IP, IP_MULTICAST_LOOP, 4); }},
    {"shutdown how 3", any_tcp, [](int fd, std::string&) { return long(shutdown(fd, 3)); }},
    {"shutdown how -1", any_tcp, [](int fd, std::string&) { return long(shutdown(fd, -1)); }},
    {"getpeername null length", any_tcp,
     [](int fd, std::string& v) { return name_call(getpeername, fd, false, 0, v); }},
    {"getpeername length -1", any_tcp,
     [](int fd, std::string& v) { return name_call(getpeername, fd, true, -1, v); }},
    {"getpeername length 0", any_tcp,
     [](int fd, std::string& v) { return name_call(getpeername, fd, true, 0, v); }},
    {"getpeername length 4", any_tcp,
     [](int fd, std::string& v) { return name_call(getpeername, fd, true, 4, v); }},
    {"getsockname null length", any_tcp,
     [](int fd, std::string& v) { return name_call(getsockname, fd, false, 0, v); }},
    {"getsockname length -1", any_tcp,
     [](int fd, std::string& v) { return name_call(getsockname, fd, true, -1, v); }},
    {"getsockname length 0", any_tcp,
     [](int fd, std::string& v) { return name_call(getsockname, fd, true, 0, v); }},
    {"FIONREAD null", any_tcp, [](int fd, std::string&) { return long(ioctl(fd, FIONREAD, no_buffer)); }},
    {"SIOCOUTQ null", any_tcp, [](int fd, std::string&) { return long(ioctl(fd, SIOCOUTQ, no_buffer)); }},
};

void tcp_cases_run(const std::string& kind, unsigned k, int fd) {
  for (const tcp_case& c : tcp_cases) {
    if ((c.kinds & k) == 0) continue;
    std::string value;
    errno = 0;
    const long rc = c.run(fd, value);
    report((kind + " " + c.what).c_str(), rc, rc == 0 ? value : "");
  }
  kept_options_run(kind, fd);
}

void wait_readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  poll(&p, 1, -1);
}

// One request to the data peer: an opcode and a big-endian count.
void request(int fd, char op, uint32_t n) {
  char r[5] = {op, char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
  send(fd, r, sizeof r, MSG_NOSIGNAL);
}

// What a socket answers once the calls before have failed: the data still there, the
// connection still up, the listener still taking connections.
void still_works(const char* kind, int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  errno = 0;
  report((std::string(kind) + " getpeername").c_str(), getpeername(fd, sa(&a), &len),
         std::to_string(ntohs(a.sin_port) != 0));
  errno = 0;
  report((std::string(kind) + " send").c_str(), send(fd, "", 0, MSG_NOSIGNAL));
}

// connect with AF_UNSPEC, last on each socket: the kernel's disconnect, after which the
// socket is unconnected (the first send's error differs over the card: see README.md).
void disconnect(const char* kind, int fd) {
  sockaddr_in a{};
  a.sin_family = AF_UNSPEC;
  errno = 0;
  report((std::string(kind) + " connect AF_UNSPEC").c_str(), connect(fd, sa(&a), sizeof a));
  int accepting = -1;
  socklen_t len = sizeof accepting;
  getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len);
  report((std::string(kind) + " after it SO_ACCEPTCONN").c_str(), 0, std::to_string(accepting));
  sockaddr_in peer{};
  socklen_t peer_len = sizeof peer;
  errno = 0;
  report((std::string(kind) + " after it getpeername").c_str(), getpeername(fd, sa(&peer), &peer_len));
}

int tcp(const char* card, const char* peer, int port) {
  const int c = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to = inet(peer, port);
  report("connection connect", connect(c, sa(&to), sizeof to));
  request(c, 'S', 5);
  wait_readable(c);
  const int l = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  const int on = 1;
  setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in here = inet(card, port + 1);
  report("listener bind", bind(l, sa(&here), sizeof here));
  report("listener listen", listen(l, 4));
  tcp_cases_run("connection", connection, c);
  tcp_cases_run("listener", listener, l);
  request(c, 'K', uint32_t(port + 1));
  wait_readable(l);
  const int a = accept(l, nullptr, nullptr);
  report("listener accept", a < 0 ? a : 0);
  tcp_cases_run("accepted", accepted, a);
  char got[8] = {};
  errno = 0;
  report("connection recv its data", recv(c, got, sizeof got, MSG_DONTWAIT),
         std::to_string(unsigned(uint8_t(got[0]))) + " " + std::to_string(unsigned(uint8_t(got[4]))));
  still_works("connection", c);
  still_works("accepted", a);
  disconnect("accepted", a);
  disconnect("listener", l);
  disconnect("connection", c);
  for (int fd : {a, l, c}) close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "undecided" && argc == 2) return undecided();
  if (mode == "bad" && argc == 3) return bad(argv[2]);
  if (mode == "tcp" && argc == 5) return tcp(argv[2], argv[3], atoi(argv[4]));
  fprintf(stderr, "usage: see the head of argument_cases_helper.cpp\n");
  return 2;
}
