// An ordinary program that sets and reads socket options on sockets the card serves.
//   option_cases_helper table CARD PEER PORT      the option tables as cases, each beside
//                                                  the interposer's expected answer; prints
//                                                  MISMATCH lines, exits 1 on any
//   option_cases_helper timeouts CARD PEER PORT   SO_RCVTIMEO and SO_SNDTIMEO on blocking
//                                                  calls (PORT: a peer that never reads;
//                                                  PORT+3: one whose SYNs are dropped)
//   option_cases_helper ttl CARD PEER PORT GROUP LOG   datagrams with set TTLs; prints
//                                                  what the peer logged
//   option_cases_helper member CARD PEER PORT GROUP FORM   IP_ADD_MEMBERSHIP by address
//                                                  (FORM addr) or interface index (index)
//                                                  on a socket bound on the card, then
//                                                  on a connected one (PORT+1: the ttl
//                                                  peer)
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "helper_net.h"

namespace {

constexpr int udp_segment = 103;
constexpr int udp_cork = 1;
int failures = 0;

const sockaddr* sa(const sockaddr_in& a) { return reinterpret_cast<const sockaddr*>(&a); }

int make(int type, const char* bind_ip, int port) {
  const int s = socket(AF_INET, type, 0);
  if (bind_ip == nullptr) return s;
  const sockaddr_in a = inet(bind_ip, port);
  if (bind(s, sa(a), sizeof a) != 0) perror("bind");
  return s;
}

int connected_tcp(const char* peer, int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in a = inet(peer, port);
  if (connect(s, sa(a), sizeof a) != 0) perror("connect");
  return s;
}

// ---- the option tables ----------------------------------------------------------------

enum sock_kind { UDP_BOUND, TCP_CONN, TCP_LISTEN, FRESH };
constexpr int no_check = 0x7fffffff;

struct set_case {
  sock_kind on;
  int level, name;
  int value;
  socklen_t len;
  int want_errno;  // 0: success
  int get_level, get_name, want_value;  // a read-back; want_value no_check: none
};

// Each case on its own socket of that kind, so that no case leans on another's state
// unless it says so with a read-back.
const set_case set_cases[] = {
    {UDP_BOUND, IPPROTO_IP, IP_TTL, 0, 1, EINVAL, 0, 0, no_check},
    {UDP_BOUND, IPPROTO_IP, IP_TTL, 0, 0, EINVAL, 0, 0, no_check},
    {UDP_BOUND, IPPROTO_IP, IP_TTL, 64, 4, 0, IPPROTO_IP, IP_TTL, 64},
    {UDP_BOUND, IPPROTO_IP, IP_TTL, 33, 1, 0, IPPROTO_IP, IP_TTL, 33},
    {UDP_BOUND, IPPROTO_IP, IP_TTL, 256, 4, EINVAL, 0, 0, no_check},
    {UDP_BOUND, IPPROTO_IP, IP_TTL, -1, 4, EINVAL, 0, 0, no_check},
    {TCP_CONN, IPPROTO_IP, IP_TTL, 64, 4, 0, IPPROTO_IP, IP_TTL, 64},
    {UDP_BOUND, IPPROTO_IP, IP_MULTICAST_TTL, 5, 4, 0, IPPROTO_IP, IP_MULTICAST_TTL, 5},
    {UDP_BOUND, IPPROTO_IP, IP_TOS, 16, 4, 0, 0, 0, no_check},
    {UDP_BOUND, IPPROTO_IP, IP_TOS, 16, 2, 0, 0, 0, no_check},  // a byte, as the kernel takes it
    {UDP_BOUND, IPPROTO_IP, IP_MULTICAST_LOOP, 0, 4, 0, IPPROTO_IP, IP_MULTICAST_LOOP, 0},
    {UDP_BOUND, IPPROTO_IP, IP_MULTICAST_LOOP, 1, 4, EOPNOTSUPP, 0, 0, no_check},
    {UDP_BOUND, IPPROTO_IP, IP_MULTICAST_LOOP, 0, 2, 0, 0, 0, no_check},
    {UDP_BOUND, IPPROTO_IP, IP_MULTICAST_LOOP, 0, 0, EINVAL, 0, 0, no_check},
    {UDP_BOUND, IPPROTO_IP, IP_RECVTOS, 1, 4, 0, 0, 0, no_check},
    {UDP_BOUND, IPPROTO_UDP, udp_segment, 1400, 4, 0, 0, 0, no_check},
    {UDP_BOUND, IPPROTO_UDP, udp_segment, 0, 4, 0, 0, 0, no_check},
    {UDP_BOUND, IPPROTO_UDP, udp_segment, -1, 4, EINVAL, 0, 0, no_check},
    {UDP_BOUND, IPPROTO_UDP, udp_segment, 70000, 4, EINVAL, 0, 0, no_check},
    {UDP_BOUND, IPPROTO_UDP, udp_segment, 1400, 2, EINVAL, 0, 0, no_check},
    {UDP_BOUND, IPPROTO_UDP, udp_segment, 1400, 8, 0, 0, 0, no_check},
    {TCP_CONN, IPPROTO_UDP, udp_segment, 1400, 4, ENOPROTOOPT, 0, 0, no_check},
    {UDP_BOUND, IPPROTO_UDP, udp_cork, 1, 4, ENOPROTOOPT, 0, 0, no_check},
    {FRESH, IPPROTO_UDP, udp_cork, 1, 4, ENOPROTOOPT, 0, 0, no_check},
    {TCP_CONN, IPPROTO_TCP, TCP_NODELAY, 0, 4, 0, IPPROTO_TCP, TCP_NODELAY, 1},
    {TCP_CONN, IPPROTO_TCP, TCP_MAXSEG, 500, 4, 0, 0, 0, no_check},
    {UDP_BOUND, SOL_SOCKET, SO_RCVBUF, 262144, 4, 0, SOL_SOCKET, SO_RCVBUF, 262144},
    {UDP_BOUND, SOL_SOCKET, SO_RCVBUF, 300000, 4, 0, SOL_SOCKET, SO_RCVBUF, 147 * 2048},
    {UDP_BOUND, SOL_SOCKET, SO_RCVBUF, 100000, 4, 0, SOL_SOCKET, SO_RCVBUF, 262144},
    {UDP_BOUND, SOL_SOCKET, SO_RCVBUF, 134217729, 4, 0, SOL_SOCKET, SO_RCVBUF, 134217728},
    {UDP_BOUND, SOL_SOCKET, SO_RCVBUF, 262144, 2, EINVAL, SOL_SOCKET, SO_RCVBUF, 4194304},
    {TCP_CONN, SOL_SOCKET, SO_PRIORITY, 3, 4, 0, SOL_SOCKET, SO_PRIORITY, 3},
    {UDP_BOUND, SOL_SOCKET, SO_PRIORITY, 3, 2, EINVAL, SOL_SOCKET, SO_PRIORITY, 0},
    {UDP_BOUND, SOL_SOCKET, SO_REUSEADDR, 1, 4, 0, 0, 0, no_check},
    {UDP_BOUND, SOL_SOCKET, SO_BROADCAST, 1, 2, EINVAL, 0, 0, no_check},
    {TCP_CONN, SOL_SOCKET, SO_KEEPALIVE, 1, 4, 0, 0, 0, no_check},
    {UDP_BOUND, SOL_SOCKET, SO_TIMESTAMP, 1, 4, 0, SOL_SOCKET, SO_TIMESTAMP, 1},
    {UDP_BOUND, SOL_SOCKET, SO_TIMESTAMPNS, 1, 4, 0, SOL_SOCKET, SO_TIMESTAMP, 0},
    {UDP_BOUND, SOL_SOCKET, SO_TIMESTAMPING, 0x44, 4, 0, SOL_SOCKET, SO_TIMESTAMPING, 0x44},
    {UDP_BOUND, SOL_SOCKET, SO_TIMESTAMP, 1, 2, EINVAL, SOL_SOCKET, SO_TIMESTAMP, 0},
    {UDP_BOUND, SOL_SOCKET, SO_REUSEPORT, 1, 8, 0, 0, 0, no_check},
    {UDP_BOUND, SOL_SOCKET, 12345, 1, 4, ENOPROTOOPT, 0, 0, no_check},
    {UDP_BOUND, IPPROTO_TCP, TCP_NODELAY, 1, 4, ENOPROTOOPT, 0, 0, no_check},
    {TCP_CONN, IPPROTO_TCP, 12345, 1, 4, ENOPROTOOPT, 0, 0, no_check},
    {TCP_CONN, IPPROTO_TCP, TCP_NODELAY, 1, 2, EINVAL, 0, 0, no_check},
    {UDP_BOUND, SOL_SOCKET, SO_MARK, 1, 4, 0, 0, 0, no_check},
    {UDP_BOUND, 99, 1, 1, 4, ENOPROTOOPT, 0, 0, no_check},
    {FRESH, 99, 1, 1, 4, ENOPROTOOPT, 0, 0, no_check},
    {FRESH, IPPROTO_TCP, TCP_NODELAY, 1, 4, 0, 0, 0, no_check},
};

struct get_case {
  sock_kind on;
  int level, name;
  socklen_t room;
  int want_errno;
  int want_value;  // no_check: only the result
};

const get_case get_cases[] = {
    {UDP_BOUND, SOL_SOCKET, SO_SNDBUF, 4, 0, 16384},
    {UDP_BOUND, SOL_SOCKET, SO_RCVBUF, 4, 0, 4194304},
    {UDP_BOUND, SOL_SOCKET, SO_ERROR, 4, 0, 0},
    {TCP_CONN, SOL_SOCKET, SO_ERROR, 4, 0, 0},
    {UDP_BOUND, SOL_SOCKET, SO_TYPE, 4, 0, SOCK_DGRAM},
    {TCP_CONN, SOL_SOCKET, SO_TYPE, 4, 0, SOCK_STREAM},
    {TCP_CONN, SOL_SOCKET, SO_DOMAIN, 4, 0, AF_INET},
    {UDP_BOUND, SOL_SOCKET, SO_PROTOCOL, 4, 0, IPPROTO_UDP},
    {TCP_CONN, SOL_SOCKET, SO_PROTOCOL, 4, 0, IPPROTO_TCP},
    {TCP_LISTEN, SOL_SOCKET, SO_PROTOCOL, 4, 0, IPPROTO_TCP},
    {FRESH, SOL_SOCKET, SO_PROTOCOL, 4, 0, IPPROTO_TCP},
    {TCP_LISTEN, SOL_SOCKET, SO_ACCEPTCONN, 4, 0, 1},
    {TCP_CONN, SOL_SOCKET, SO_ACCEPTCONN, 4, 0, 0},
    {UDP_BOUND, SOL_SOCKET, SO_INCOMING_NAPI_ID, 4, 0, 0},
    {UDP_BOUND, SOL_SOCKET, SO_REUSEADDR, 4, 0, 0},  // the kernel twin's, as every option the card has no use for
    {UDP_BOUND, SOL_SOCKET, SO_TIMESTAMPNS, 4, 0, 0},
    {TCP_CONN, IPPROTO_TCP, TCP_NODELAY, 4, 0, 1},
    {TCP_CONN, IPPROTO_TCP, TCP_NODELAY, 8, 0, 1},
    {UDP_BOUND, IPPROTO_TCP, TCP_NODELAY, 4, EOPNOTSUPP, no_check},
    {TCP_CONN, IPPROTO_TCP, TCP_KEEPIDLE, 4, 0, 7200},
    {TCP_CONN, IPPROTO_TCP, TCP_KEEPCNT, 4, 0, 9},
    {TCP_CONN, IPPROTO_TCP, TCP_MAXSEG, 4, 0, no_check},
    {TCP_CONN, IPPROTO_TCP, TCP_INFO, 100, 0, no_check},
    {TCP_LISTEN, IPPROTO_TCP, TCP_INFO, 104, 0, no_check},
    {TCP_CONN, IPPROTO_TCP, TCP_CONGESTION, 8, EINVAL, no_check},
    {UDP_BOUND, IPPROTO_IP, IP_TTL, 4, 0, 64},  // the kernel twin's default
    {UDP_BOUND, IPPROTO_IP, IP_MULTICAST_LOOP, 4, 0, 0},
    {UDP_BOUND, IPPROTO_IP, IP_TOS, 4, 0, 0},
    {UDP_BOUND, 99, 1, 4, EOPNOTSUPP, no_check},
};

struct sockets {
  const char* card;
  const char* peer;
  int port;
  int listen_port;

  int open(sock_kind k) {
    switch (k) {
      case UDP_BOUND: return make(SOCK_DGRAM, card, 0);
      case TCP_CONN: return connected_tcp(peer, port);
      case TCP_LISTEN: {
        const int s = make(SOCK_STREAM, card, listen_port++);
        listen(s, 4);
        return s;
      }
      case FRESH: return socket(AF_INET, SOCK_STREAM, 0);
    }
    return -1;
  }
};

// A result as text: "-1 ENAME" for a failure, else "0" and the value when it counts.
std::string answer(bool failed, int err, int value, bool with_value) {
  char b[96];
  if (failed) snprintf(b, sizeof b, "-1 %s", strerrorname_np(err));
  else if (with_value) snprintf(b, sizeof b, "0 value %d", value);
  else snprintf(b, sizeof b, "0");
  return b;
}
std::string outcome(int rc, int value, bool with_value) {
  return answer(rc != 0, errno, value, with_value);
}
std::string wanted(int err, int value, bool with_value) {
  return answer(err != 0, err, value, with_value);
}

void compare(const char* what, int index, const std::string& got, const std::string& want) {
  if (got == want) return;
  printf("MISMATCH %s case %d: got %s, want %s\n", what, index, got.c_str(), want.c_str());
  ++failures;
}

int read_int(int s, int level, int name, socklen_t room, int* value) {
  int buf[32] = {};
  const int rc = getsockopt(s, level, name, buf, &room);
  *value = buf[0];
  return rc;
}

void run_set_cases(sockets& ss) {
  int i = 0;
  for (const set_case& c : set_cases) {
    const int s = ss.open(c.on);
    int buf[4] = {c.value};
    errno = 0;
    const int rc = setsockopt(s, c.level, c.name, buf, c.len);
    compare("set", i, outcome(rc, 0, false), wanted(c.want_errno, 0, false));
    if (c.want_value != no_check) {
      int v = 0;
      const int grc = read_int(s, c.get_level, c.get_name, 4, &v);
      compare("set read-back", i, outcome(grc, v, true), wanted(0, c.want_value, true));
    }
    close(s);
    ++i;
  }
}

void run_get_cases(sockets& ss) {
  int i = 0;
  for (const get_case& c : get_cases) {
    const int s = ss.open(c.on);
    int v = 0;
    errno = 0;
    const int rc = read_int(s, c.level, c.name, c.room, &v);
    const bool with_value = c.want_value != no_check;
    compare("get", i, outcome(rc, v, with_value), wanted(c.want_errno, c.want_value, with_value));
    close(s);
    ++i;
  }
}

// The cases whose value is not one int.
void run_special_cases(sockets& ss) {
  const int u = ss.open(UDP_BOUND);
  int on = 1;
  setsockopt(u, SOL_SOCKET, SO_TIMESTAMP, &on, 4);
  errno = 0;
  compare("second time-stamp mode", 0, outcome(setsockopt(u, SOL_SOCKET, SO_TIMESTAMPNS, &on, 4), 0, false),
          wanted(EINVAL, 0, false));
  int off = 0;
  setsockopt(u, SOL_SOCKET, SO_TIMESTAMP, &off, 4);
  compare("mode after off", 0, outcome(setsockopt(u, SOL_SOCKET, SO_TIMESTAMPNS, &on, 4), 0, false),
          wanted(0, 0, false));
  close(u);

  const int t = ss.open(TCP_CONN);
  unsigned char info[232] = {};
  socklen_t len = sizeof info;
  int rc = getsockopt(t, IPPROTO_TCP, TCP_INFO, info, &len);
  uint32_t mss = 0;
  memcpy(&mss, info + 20, 4);
  char got[96];
  snprintf(got, sizeof got, "%d len %u state %u mss %u", rc, len, info[0], mss);
  compare("TCP_INFO", 0, got, "0 len 104 state 1 mss 1460");
  char cc[16];
  memset(cc, 'x', sizeof cc);
  len = sizeof cc;
  rc = getsockopt(t, IPPROTO_TCP, TCP_CONGESTION, cc, &len);
  snprintf(got, sizeof got, "%d len %u %.16s", rc, len, cc);
  compare("TCP_CONGESTION", 0, got, "0 len 4 none");
  close(t);

  // Membership cases that need no traffic.
  const int m = ss.open(UDP_BOUND);
  ip_mreq mreq{};
  inet_pton(AF_INET, "239.1.2.3", &mreq.imr_multiaddr);
  inet_pton(AF_INET, ss.card, &mreq.imr_interface);
  errno = 0;
  compare("membership short", 0, outcome(setsockopt(m, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, 4), 0, false),
          wanted(EINVAL, 0, false));
  compare("membership", 0, outcome(setsockopt(m, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq), 0, false),
          wanted(0, 0, false));
  inet_pton(AF_INET, "239.1.2.4", &mreq.imr_multiaddr);
  compare("second membership", 0,
          outcome(setsockopt(m, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq), 0, false),
          wanted(EPERM, 0, false));
  in_addr card{};
  inet_pton(AF_INET, ss.card, &card);
  compare("multicast interface", 0,
          outcome(setsockopt(m, IPPROTO_IP, IP_MULTICAST_IF, &card, sizeof card), 0, false),
          wanted(0, 0, false));
  close(m);

  // A ring size the card cannot take, set before the socket went on the card, is taken
  // to the nearest the card allows when it does.
  const int small = socket(AF_INET, SOCK_DGRAM, 0);
  int tiny = 1024;
  compare("small ring before bind", 0, outcome(setsockopt(small, SOL_SOCKET, SO_RCVBUF, &tiny, 4), 0, false),
          wanted(0, 0, false));
  const sockaddr_in local = inet(ss.card, 0);
  bind(small, sa(local), sizeof local);
  int ring = 0;
  const int grc = read_int(small, SOL_SOCKET, SO_RCVBUF, 4, &ring);
  compare("small ring on the card", 0, outcome(grc, ring, true), wanted(0, 262144, true));
  close(small);

  timeval tv{0, 5};
  const int f = ss.open(FRESH);
  compare("short timeout", 0, outcome(setsockopt(f, SOL_SOCKET, SO_RCVTIMEO, &tv, 8), 0, false),
          wanted(EINVAL, 0, false));
  close(f);
}

int table(char** argv) {
  sockets ss{argv[0], argv[1], atoi(argv[2]), 31000};
  run_set_cases(ss);
  run_get_cases(ss);
  run_special_cases(ss);
  printf("%d mismatches\n", failures);
  return failures == 0 ? 0 : 1;
}

// ---- blocking calls under SO_RCVTIMEO and SO_SNDTIMEO -----------------------------------

using clock_type = std::chrono::steady_clock;

void set_timeout(int s, int option, long us) {
  const timeval tv{us / 1000000, us % 1000000};
  if (setsockopt(s, SOL_SOCKET, option, &tv, sizeof tv) != 0) perror("setsockopt timeout");
}

// A call's answer and whether it came at its deadline: not before it, not long after.
// With `sent_or_none`, a send's partial count and EAGAIN are one answer: how much room a
// peer that never reads still leaves depends on its kernel's buffer tuning.
template <class F>
void timed(const char* what, long timeout_us, F call, bool sent_or_none = false) {
  const auto t0 = clock_type::now();
  errno = 0;
  const long rc = call();
  const int err = errno;
  const double s = std::chrono::duration<double>(clock_type::now() - t0).count();
  const double want = timeout_us / 1e6;
  const bool on_time = s >= want * 0.9 && s < want + 2.0;
  const char* answer = rc < 0 ? strerrorname_np(err) : (rc > 0 ? "some bytes" : "0");
  if (sent_or_none && (rc > 0 || err == EAGAIN)) answer = "some bytes or EAGAIN";
  printf("%-34s %s %s\n", what, answer,
         on_time ? "at the deadline" : "NOT AT THE DEADLINE");
}

int timeouts(char** argv) {
  const char* card = argv[0];
  const char* peer = argv[1];
  const int port = atoi(argv[2]);
  char buf[4096];
  const int t = connected_tcp(peer, port);
  set_timeout(t, SO_RCVTIMEO, 300000);
  timed("tcp recv", 300000, [&] { return recv(t, buf, sizeof buf, 0); });
  timed("tcp recv MSG_WAITALL", 300000, [&] { return recv(t, buf, sizeof buf, MSG_WAITALL); });
  timed("tcp read", 300000, [&] { return read(t, buf, sizeof buf); });
  timeval tv{};
  socklen_t len = sizeof tv;
  getsockopt(t, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
  printf("SO_RCVTIMEO reads back %ld.%06ld\n", long(tv.tv_sec), long(tv.tv_usec));
  // The peer never reads: the first send fills the window and returns what went, the
  // second finds no room at all.
  set_timeout(t, SO_SNDTIMEO, 400000);
  std::vector<char> big(64 << 20, 'x');
  timed("tcp send into a full window", 400000, [&] { return send(t, big.data(), big.size(), MSG_NOSIGNAL); });
  timed("tcp send, no room", 400000, [&] { return send(t, big.data(), big.size(), MSG_NOSIGNAL); },
        true);
  close(t);

  const int u = make(SOCK_DGRAM, card, 0);
  set_timeout(u, SO_RCVTIMEO, 250000);
  timed("udp recvfrom", 250000, [&] { return recvfrom(u, buf, sizeof buf, 0, nullptr, nullptr); });
  timed("udp recvmsg", 250000, [&] {
    iovec v{buf, sizeof buf};
    msghdr m{};
    m.msg_iov = &v;
    m.msg_iovlen = 1;
    return recvmsg(u, &m, 0);
  });
  close(u);

  // The peer drops the SYNs sent to PORT+3: the connect gives up waiting, the handshake
  // goes on, and a second connect says so.
  const int c = socket(AF_INET, SOCK_STREAM, 0);
  set_timeout(c, SO_SNDTIMEO, 300000);
  const sockaddr_in silent = inet(peer, port + 3);
  timed("connect to a silent port", 300000, [&] { return long(connect(c, sa(silent), sizeof silent)); });
  errno = 0;
  const int again = connect(c, sa(silent), sizeof silent);
  printf("connect again                      %s\n", again < 0 ? strerrorname_np(errno) : "0");
  close(c);

  const int l = make(SOCK_STREAM, card, port + 7);
  listen(l, 4);
  set_timeout(l, SO_RCVTIMEO, 200000);
  timed("accept", 200000, [&] { return long(accept(l, nullptr, nullptr)); });
  close(l);
  return 0;
}

// ---- what the peer sees -----------------------------------------------------------------

// The peer's log once it holds n lines (or after 10 s).
std::string peer_log(const char* log, int n) {
  std::string text;
  for (int i = 0; i < 200; ++i) {
    std::ifstream f(log);
    text.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    int lines = 0;
    for (char ch : text) lines += ch == '\n';
    if (lines >= n) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return text;
}

void send_text(int s, const char* text, const sockaddr_in& to) {
  if (sendto(s, text, strlen(text), 0, sa(to), sizeof to) < 0) perror("sendto");
}

int ttl(char** argv) {
  const sockaddr_in peer = inet(argv[1], atoi(argv[2]));
  const sockaddr_in group = inet(argv[3], atoi(argv[2]));
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  int v = 9;
  setsockopt(s, IPPROTO_IP, IP_TTL, &v, sizeof v);  // before the session exists
  const sockaddr_in local = inet(argv[0], 0);
  bind(s, sa(local), sizeof local);
  send_text(s, "set-before-bind", peer);
  v = 7;
  setsockopt(s, IPPROTO_IP, IP_TTL, &v, sizeof v);
  send_text(s, "unicast", peer);
  const unsigned char hops = 3;
  setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &hops, 1);
  send_text(s, "multicast", group);
  fputs(peer_log(argv[4], 3).c_str(), stdout);
  close(s);
  return 0;
}

int join(int s, const char* card, const char* group, bool by_index) {
  ip_mreqn m{};
  inet_pton(AF_INET, group, &m.imr_multiaddr);
  if (!by_index) {
    inet_pton(AF_INET, card, &m.imr_address);
    return setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof(ip_mreq));
  }
  m.imr_ifindex = int(if_nametoindex("kvel0"));
  return setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
}

void receive_group(const char* what, int s) {
  set_timeout(s, SO_RCVTIMEO, 5000000);
  char buf[64] = {};
  const long n = recv(s, buf, sizeof buf - 1, 0);
  printf("%s: %s\n", what, n > 0 ? buf : strerrorname_np(errno));
}

int member(char** argv) {
  const char* card = argv[0];
  const int port = atoi(argv[2]);
  const bool by_index = strcmp(argv[4], "index") == 0;
  const int b = make(SOCK_DGRAM, card, port);
  printf("join on a bound socket: %d\n", join(b, card, argv[3], by_index));
  receive_group("bound socket receives", b);
  close(b);
  // A connected socket keeps sending to its peer after it joins.
  const int c = make(SOCK_DGRAM, card, port);
  const sockaddr_in peer = inet(argv[1], port + 1);
  connect(c, sa(peer), sizeof peer);
  printf("join on a connected socket: %d\n", join(c, card, argv[3], by_index));
  const long sent = send(c, "after-join", 10, 0);
  printf("send after join: %ld\n", sent);
  receive_group("connected socket receives", c);
  close(c);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "table" && argc == 5) return table(argv + 2);
  if (mode == "timeouts" && argc == 5) return timeouts(argv + 2);
  if (mode == "ttl" && argc == 7) return ttl(argv + 2);
  if (mode == "member" && argc == 7) return member(argv + 2);
  fprintf(stderr, "usage: see the head of option_cases_helper.cpp\n");
  return 2;
}
