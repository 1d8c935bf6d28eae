// An ordinary program that drives every receive and send call on a TCP connection and a
// UDP socket to the Linux peer (data_peer.py), one table of cases each, and prints what
// each call returned. The tests run it without a preload library, where the kernel's
// answers are the reference, and under each library, where the card serves the sockets.
//   data_calls_helper tcp ADDR PORT | udp ADDR PORT | threads ADDR PORT MIB
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <csignal>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

sockaddr_in peer_addr;

void say(const char* what, long result, const std::string& more = "") {
  printf("%-28s %ld %s%s%s\n", what, result, result < 0 ? strerrorname_np(errno) : "ok",
         more.empty() ? "" : " ", more.c_str());
}

uint8_t pattern_byte(size_t i, size_t start = 0) { return uint8_t((start + i) * 7 % 251); }

bool is_pattern(const uint8_t* p, size_t n, size_t from = 0, size_t start = 0) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != pattern_byte(from + i, start)) return false;
  return true;
}

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc = 0) {
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

std::string hex(uint32_t v) {
  char b[9];
  snprintf(b, sizeof b, "%08x", v);
  return b;
}

// FIONREAD and SIOCOUTQ, the counts programs size their reads by.
void say_queued(const char* what, int s, unsigned long request) {
  int n = -1;
  const long r = ioctl(s, request, &n);
  say(what, r, std::to_string(n));
}

void wait_readable(int s) {
  pollfd p{s, POLLIN, 0};
  poll(&p, 1, 3000);
}

// The control message of a received message: its room used, the first message's type
// and length, and MSG_CTRUNC.
std::string control_of(const msghdr& m) {
  const cmsghdr* c = m.msg_controllen >= sizeof(cmsghdr) ? CMSG_FIRSTHDR(&m) : nullptr;
  return "controllen=" + std::to_string(m.msg_controllen) + " type=" +
         std::to_string(c != nullptr ? c->cmsg_type : -1) + " len=" +
         std::to_string(c != nullptr ? long(c->cmsg_len) : -1) +
         ((m.msg_flags & MSG_CTRUNC) != 0 ? " MSG_CTRUNC" : "");
}

// A receive time stamp in recvmsg (or, with two entries, recvmmsg, the second entry's
// room too short for it) under SO_TIMESTAMP or SO_TIMESTAMPNS, of the data that
// `ask_data` asks the peer for once the option is on (the kernel stamps TCP segments
// only from then).
void say_stamped(const char* what, int s, int option, bool two, void (*ask_data)(int)) {
  const int on = 1, off = 0;
  setsockopt(s, SOL_SOCKET, option, &on, sizeof on);
  ask_data(s);
  wait_readable(s);
  usleep(100000);  // everything asked for is there
  uint8_t buf[2][128];
  alignas(cmsghdr) char control[2][64];
  iovec ent[2] = {{buf[0], sizeof buf[0]}, {buf[1], sizeof buf[1]}};
  mmsghdr vec[2] = {};
  for (int i = 0; i < 2; ++i)
    vec[i].msg_hdr = {nullptr, 0, &ent[i], 1, control[i], i == 0 ? sizeof control[0] : CMSG_LEN(4), 0};
  const long got = two ? recvmmsg(s, vec, 2, MSG_WAITFORONE, nullptr) : recvmsg(s, &vec[0].msg_hdr, 0);
  std::string more = control_of(vec[0].msg_hdr);
  if (two) more += " | " + control_of(vec[1].msg_hdr);
  say(what, got, more);
  setsockopt(s, SOL_SOCKET, option, &off, sizeof off);
}

// ---- TCP ------------------------------------------------------------------------------

void request(int s, char op, uint32_t n) {
  uint8_t m[5] = {uint8_t(op)};
  const uint32_t be = htonl(n);
  memcpy(m + 1, &be, 4);
  if (send(s, m, 5, MSG_NOSIGNAL) != 5) say("request failed", -1);
}

std::string read_answer(int s, size_t n) {
  std::string a(n, '\0');
  return recv(s, a.data(), n, MSG_WAITALL) == long(n) ? a : "short";
}

int connect_peer(int type = SOCK_STREAM) {
  int s = socket(AF_INET, type, 0);
  if (connect(s, reinterpret_cast<sockaddr*>(&peer_addr), sizeof peer_addr) != 0) {
    say("connect", -1);
    exit(1);
  }
  return s;
}

void tcp_queued(int s) {
  uint8_t buf[1000];
  say_queued("FIONREAD nothing waiting", s, FIONREAD);
  request(s, 'S', 1000);
  wait_readable(s);
  say_queued("FIONREAD a 1000 segment", s, FIONREAD);
  recv(s, buf, 300, 0);
  say_queued("SIOCINQ after recv 300", s, SIOCINQ);
  recv(s, buf, 700, MSG_WAITALL);
  say_queued("SIOCOUTQ all acknowledged", s, SIOCOUTQ);
}

void tcp_receives(int s) {
  uint8_t buf[8192];
  request(s, 'S', 1000);
  std::string parts;
  for (int i = 0; i < 4; ++i) parts += std::to_string(recv(s, buf + 300 * i, 300, 0)) + " ";
  say("recv 300 of a 1000 segment", 0, parts + (is_pattern(buf, 1000) ? "same" : "differs"));

  request(s, 'S', 10);
  long peeked = recv(s, buf, 10, MSG_PEEK);
  long got = recv(s, buf + 10, 10, 0);
  say("recv MSG_PEEK then recv", peeked, std::to_string(got) + (memcmp(buf, buf + 10, 10) == 0 ? " same" : " differs"));

  say("recv MSG_DONTWAIT nothing", recv(s, buf, 10, MSG_DONTWAIT));

  request(s, 'S', 5000);
  got = recv(s, buf, 5000, MSG_WAITALL);
  say("recv MSG_WAITALL 5000", got, is_pattern(buf, 5000) ? "same" : "differs");

  request(s, 'S', 64);
  got = read(s, buf, 64);
  say("read 64", got, is_pattern(buf, 64) ? "same" : "differs");

  request(s, 'S', 100);
  memset(buf, 0, 300);
  iovec three[] = {{buf, 10}, {buf + 10, 0}, {buf + 10, 200}};
  got = readv(s, three, 3);
  say("readv 10+0+200 of 100", got, is_pattern(buf, 100) ? "same" : "differs");

  request(s, 'S', 50);
  sockaddr_in from{};
  char control[64];
  iovec one{buf, 100};
  msghdr msg{&from, sizeof from, &one, 1, control, sizeof control, 0x5555};
  got = recvmsg(s, &msg, 0);
  say("recvmsg 50", got, "flags=" + std::to_string(msg.msg_flags) + " controllen=" +
                           std::to_string(msg.msg_controllen) + " namelen=" +
                           std::to_string(msg.msg_namelen));

  request(s, 'S', 20);
  socklen_t fromlen = sizeof from;
  got = recvfrom(s, buf, 20, 0, reinterpret_cast<sockaddr*>(&from), &fromlen);
  say("recvfrom 20", got, "fromlen=" + std::to_string(fromlen));

  request(s, 'S', 100);
  mmsghdr vec[2] = {};
  iovec ent[2] = {{buf, 4096}, {buf + 4096, 4096}};
  for (int i = 0; i < 2; ++i) vec[i].msg_hdr.msg_iov = &ent[i], vec[i].msg_hdr.msg_iovlen = 1;
  got = recvmmsg(s, vec, 2, MSG_WAITFORONE, nullptr);
  say("recvmmsg MSG_WAITFORONE", got, "len0=" + std::to_string(vec[0].msg_len));
}

// Every send call adds to one stream that the peer hashes.
void tcp_sends(int s) {
  static uint8_t data[20000];
  for (size_t i = 0; i < sizeof data; ++i) data[i] = uint8_t(i * 13 + 5);
  const size_t total = 100 + 200 + 300 + 3000 + 8000 + 20 + 30;
  request(s, 'H', uint32_t(total));
  say("write 100", write(s, data, 100));
  say("send 200", send(s, data + 100, 200, 0));
  say("sendto 300 ignoring address", sendto(s, data + 300, 300, 0,
                                            reinterpret_cast<sockaddr*>(&peer_addr), sizeof peer_addr));
  iovec three[] = {{data + 600, 1000}, {data + 1600, 0}, {data + 1600, 2000}};
  msghdr msg{nullptr, 0, three, 3, nullptr, 0, 0};
  say("sendmsg 1000+0+2000", sendmsg(s, &msg, 0));
  iovec two[] = {{data + 3600, 5000}, {data + 8600, 3000}};
  say("writev 5000+3000", writev(s, two, 2));
  iovec e0{data + 11600, 20}, e1{data + 11620, 30};
  mmsghdr vec[2] = {};
  vec[0].msg_hdr.msg_iov = &e0, vec[0].msg_hdr.msg_iovlen = 1;
  vec[1].msg_hdr.msg_iov = &e1, vec[1].msg_hdr.msg_iovlen = 1;
  long n = sendmmsg(s, vec, 2, 0);
  say("sendmmsg 20 30", n, std::to_string(vec[0].msg_len) + " " + std::to_string(vec[1].msg_len));
  const std::string want = hex(crc32(data, total));
  say("peer's hash of the sends", 0, read_answer(s, 8) == want ? "same" : "differs");
}

// The limits of gathering, which the kernel answers before it looks at the socket.
void gathering_limits(int s) {
  static iovec many[1025];
  static char byte;
  for (iovec& v : many) v = {&byte, 1};
  say("writev 1025 entries", writev(s, many, 1025));
  msghdr msg{nullptr, 0, many, 1025, nullptr, 0, 0};
  say("sendmsg 1025 entries", sendmsg(s, &msg, 0));
  say("recvmsg 1025 entries", recvmsg(s, &msg, MSG_DONTWAIT));
  // Lengths the compiler cannot see, as a program reading them from elsewhere.
  static volatile size_t huge = SIZE_MAX;
  iovec wraps[] = {{&byte, huge}, {&byte, 2}};
  say("writev sum that wraps", writev(s, wraps, 2));
  say("readv sum that wraps", readv(s, wraps, 2));
  static volatile int minus_one = -1;
  say("readv count -1", readv(s, many, minus_one));
}

// A non-blocking send of more than the window: what fits is sent and counted, the
// rest follows blocking, and the peer sees every byte once.
void partial_send(int s) {
  const size_t n = 8 << 20;
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = uint8_t(i * 31 + 7);
  request(s, 'h', uint32_t(n));
  long first = send(s, data.data(), n, MSG_DONTWAIT);
  say("send MSG_DONTWAIT 8 MiB", first > 0 && size_t(first) < n ? 1 : first,
      "(1: a partial count)");
  size_t done = first > 0 ? size_t(first) : 0;
  while (done < n) {
    long r = send(s, data.data() + done, n - done, 0);
    if (r <= 0) break;
    done += size_t(r);
  }
  say("peer's hash after the rest", 0, read_answer(s, 8) == hex(crc32(data.data(), n)) ? "same" : "differs");
}

void stream_end(int s) {
  uint8_t buf[5000];
  request(s, 'C', 2920);
  long got = recv(s, buf, 5000, MSG_WAITALL);
  say("recv MSG_WAITALL, peer ends", got, is_pattern(buf, 2920) ? "same" : "differs");
  say("recv at end of stream", recv(s, buf, 10, 0));
  say("send after the peer's FIN", send(s, buf, 10, MSG_NOSIGNAL));
}

// The peer resets the connection after its data: the data, then the reset once, then
// end of stream; SO_ERROR has nothing left to tell.
void peer_reset() {
  int s = connect_peer();
  uint8_t buf[4096];
  request(s, 'X', 1000);
  // The reset is here before the first receive, as on a slow machine: the data that
  // came before it must still come first.
  usleep(300000);
  long got = recv(s, buf, sizeof buf, MSG_WAITALL);
  say("recv the data before a reset", got, is_pattern(buf, size_t(got > 0 ? got : 0)) ? "same" : "differs");
  say("recv after the peer's reset", recv(s, buf, sizeof buf, 0));
  say("recv once the reset is told", recv(s, buf, sizeof buf, 0));
  int err = -1;
  socklen_t len = sizeof err;
  getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
  say("SO_ERROR after the told reset", err, strerrorname_np(err));
  close(s);
}

// SO_LINGER {1, 0} set on a connected socket: close resets the connection, the peer
// reads a reset and no FIN; without it the peer reads our FIN.
void linger_reset() {
  for (bool abort : {false, true}) {
    int s = connect_peer();
    const linger l{1, 0};
    if (abort) say("setsockopt SO_LINGER {1, 0}", setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l));
    linger back{};
    socklen_t len = sizeof back;
    getsockopt(s, SOL_SOCKET, SO_LINGER, &back, &len);
    say("getsockopt SO_LINGER", back.l_onoff, std::to_string(back.l_linger));
    request(s, 'E', 0);
    usleep(100000);  // the request is the peer's before the close ends the stream
    close(s);
    int q = connect_peer();
    request(q, 'W', 0);
    say(abort ? "peer's end after a lingering close" : "peer's end after a close", 0, read_answer(q, 8));
    close(q);
  }
}

// A connection accepted by a listener with IP_TTL set has the listener's TTL.
void accepted_ttl(uint16_t port) {
  const int l = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1, ttl = 33;
  setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  setsockopt(l, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
  sockaddr_in ours{};
  ours.sin_family = AF_INET;
  ours.sin_port = htons(port);
  inet_pton(AF_INET, "198.18.0.1", &ours.sin_addr);
  bind(l, reinterpret_cast<sockaddr*>(&ours), sizeof ours);
  listen(l, 4);
  const int s = connect_peer();
  request(s, 'K', port);
  const int a = accept(l, nullptr, nullptr);
  int got = 0;
  socklen_t len = sizeof got;
  say("IP_TTL of an accepted connection", getsockopt(a, IPPROTO_IP, IP_TTL, &got, &len),
      std::to_string(got));
  close(a);
  close(s);
  close(l);
}

int tcp_calls() {
  accepted_ttl(uint16_t(ntohs(peer_addr.sin_port) + 50));
  peer_reset();
  linger_reset();
  int s = connect_peer();
  tcp_queued(s);
  tcp_receives(s);
  tcp_sends(s);
  gathering_limits(s);
  partial_send(s);
  stream_end(s);
  close(s);
  return 0;
}

// ---- UDP ------------------------------------------------------------------------------

void ask(int s, uint8_t count, uint16_t size) {
  uint8_t m[4] = {'N', count, uint8_t(size >> 8), uint8_t(size)};
  send(s, m, 4, 0);
}

std::string lengths(int s) {
  send(s, "L", 1, 0);
  char text[256] = {};
  long n = recv(s, text, sizeof text - 1, 0);
  return n > 0 ? std::string(text, size_t(n)) : "none";
}

void udp_queued(int s) {
  uint8_t buf[1000];
  say_queued("FIONREAD no datagram", s, FIONREAD);
  ask(s, 2, 700);
  wait_readable(s);
  usleep(100000);  // the second datagram is there too: only the first counts
  say_queued("FIONREAD two of 700", s, FIONREAD);
  recv(s, buf, sizeof buf, 0);
  recv(s, buf, sizeof buf, 0);
  say_queued("SIOCINQ none left", s, SIOCINQ);
  say_queued("SIOCOUTQ", s, SIOCOUTQ);
  say_stamped("recvmmsg with SO_TIMESTAMPNS", s, SO_TIMESTAMPNS, true, [](int q) { ask(q, 2, 40); });
}

void udp_receives(int s) {
  uint8_t buf[2048];
  ask(s, 1, 1000);
  long got = recv(s, buf, 100, 0);
  say("recv 100 of 1000", got, is_pattern(buf, 100) ? "same" : "differs");
  say("recv after, rest dropped", recv(s, buf, 100, MSG_DONTWAIT));

  ask(s, 1, 50);
  long peeked = recv(s, buf, 50, MSG_PEEK);
  say("recv MSG_PEEK then recv", peeked, std::to_string(recv(s, buf + 50, 50, 0)));

  ask(s, 1, 1000);
  say("recv MSG_TRUNC flag", recv(s, buf, 100, MSG_TRUNC));

  ask(s, 1, 1000);
  sockaddr_in from{};
  char control[64];
  iovec two[] = {{buf, 60}, {buf + 60, 40}};
  msghdr msg{&from, sizeof from, two, 2, control, sizeof control, 0x5555};
  got = recvmsg(s, &msg, 0);
  say("recvmsg 100 of 1000", got,
      "flags=" + std::to_string(msg.msg_flags) + " controllen=" + std::to_string(msg.msg_controllen) +
          " namelen=" + std::to_string(msg.msg_namelen) + " port=" + std::to_string(ntohs(from.sin_port)) +
          (is_pattern(buf, 100) ? " same" : " differs"));

  ask(s, 1, 30);
  uint8_t addr[16];
  memset(addr, 0xEE, sizeof addr);
  socklen_t alen = 8;
  got = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(addr), &alen);
  say("recvfrom, room for 8 bytes", got,
      "len=" + std::to_string(alen) + " family=" + std::to_string(addr[0]) + " byte8=" +
          std::to_string(addr[8]));

  ask(s, 1, 30);
  iovec three[] = {{buf, 10}, {buf + 10, 10}, {buf + 20, 20}};
  got = readv(s, three, 3);
  say("readv 10+10+20 of 30", got, is_pattern(buf, 30) ? "same" : "differs");

  ask(s, 2, 40);
  mmsghdr vec[4] = {};
  iovec ent[4];
  for (int i = 0; i < 4; ++i) {
    ent[i] = {buf + 64 * i, 64};
    vec[i].msg_hdr.msg_iov = &ent[i];
    vec[i].msg_hdr.msg_iovlen = 1;
  }
  got = recvmmsg(s, vec, 2, 0, nullptr);
  say("recvmmsg 2 blocking", got, std::to_string(vec[0].msg_len) + " " + std::to_string(vec[1].msg_len));
  ask(s, 1, 40);
  say("recvmmsg 4 MSG_WAITFORONE", recvmmsg(s, vec, 4, MSG_WAITFORONE, nullptr));
  say("recv MSG_DONTWAIT nothing", recv(s, buf, 10, MSG_DONTWAIT));
}

void on_alarm(int) {}

// SIGALRM in `ms` milliseconds, to a handler installed with `flags`.
void alarm_in(int ms, int flags) {
  struct sigaction how {};
  how.sa_handler = on_alarm;
  how.sa_flags = flags;
  sigaction(SIGALRM, &how, nullptr);
  itimerval once{{0, 0}, {0, ms * 1000}};
  setitimer(ITIMER_REAL, &once, nullptr);
}

// A blocked recv and a signal handler: EINTR, unless the handler asks for calls to be
// restarted on a socket without a receive timeout.
void udp_signals(int s) {
  uint8_t buf[64];
  alarm_in(100, 0);
  say("recv ended by a handler", recv(s, buf, sizeof buf, 0));

  // The datagram comes from a thread that keeps SIGALRM away, so that the handler runs
  // on the thread blocked in recv.
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
  std::thread later([s] {
    usleep(400000);
    ask(s, 1, 20);
  });
  pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
  alarm_in(50, SA_RESTART);
  say("recv on after SA_RESTART", recv(s, buf, sizeof buf, 0));
  later.join();

  const timeval two_seconds{2, 0}, none{0, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &two_seconds, sizeof two_seconds);
  alarm_in(50, SA_RESTART);
  say("recv with SO_RCVTIMEO, SA_RESTART", recv(s, buf, sizeof buf, 0));
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
}

void udp_sends(int s) {
  static uint8_t data[4000];
  lengths(s);
  say("write 11", write(s, data, 11));
  say("send 12", send(s, data, 12, 0));
  iovec three[] = {{data, 10}, {data, 0}, {data, 30}};
  msghdr msg{nullptr, 0, three, 3, nullptr, 0, 0};
  say("sendmsg 10+0+30", sendmsg(s, &msg, 0));
  say("writev 10+0+30", writev(s, three, 3));
  iovec e[3] = {{data, 5}, {data, 6}, {data, 7}};
  mmsghdr vec[3] = {};
  for (int i = 0; i < 3; ++i) vec[i].msg_hdr.msg_iov = &e[i], vec[i].msg_hdr.msg_iovlen = 1;
  say("sendmmsg 5 6 7", sendmmsg(s, vec, 3, 0));
  say("send 0", send(s, data, 0, 0));
  sockaddr_in other = peer_addr;
  other.sin_port = htons(uint16_t(ntohs(peer_addr.sin_port) + 1));
  say("sendto the other port 13", sendto(s, data, 13, 0, reinterpret_cast<sockaddr*>(&other), sizeof other));
  say("send 14 to the connected one", send(s, data, 14, 0));
  say("datagrams the peer saw", 0, lengths(s));
  const int segment = 1000;
  say("setsockopt UDP_SEGMENT 1000", setsockopt(s, SOL_UDP, UDP_SEGMENT, &segment, sizeof segment));
  say("send 2500 in segments", send(s, data, 2500, 0));
  const int off = 0;
  setsockopt(s, SOL_UDP, UDP_SEGMENT, &off, sizeof off);
  say("datagrams the peer saw", 0, lengths(s));
  static iovec many[1025];
  for (iovec& v : many) v = {data, 1};
  msghdr lots{nullptr, 0, many, 1025, nullptr, 0, 0};
  say("sendmsg 1025 entries", sendmsg(s, &lots, 0));
  static uint8_t big[70000];
  say("send 70000", send(s, big, sizeof big, 0));
}

int udp_calls() {
  int s = connect_peer(SOCK_DGRAM);
  udp_queued(s);
  udp_receives(s);
  udp_signals(s);
  udp_sends(s);
  close(s);
  return 0;
}

// ---- one socket, two threads ---------------------------------------------------------

// A reader thread blocked in recv while this thread sends on the same socket: the peer
// hashes what it gets and answers, which the reader receives.
int reader_and_writer(long mib) {
  int s = connect_peer();
  const size_t n = size_t(mib) << 20;
  std::string answer;
  std::thread reader([&] { answer = read_answer(s, 8); });
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = uint8_t(i * 29 + 3);
  request(s, 'H', uint32_t(n));
  size_t done = 0;
  while (done < n) {
    long r = send(s, data.data() + done, std::min<size_t>(n - done, 65536), 0);
    if (r <= 0) break;
    done += size_t(r);
  }
  reader.join();
  say("reader and writer on one socket", long(done), answer == hex(crc32(data.data(), n)) ? "same" : "differs");
  close(s);
  return 0;
}

// A reader blocked in recv while a writer thread sends on the same socket, woken by a
// third thread's shutdown (SHUT_RD: end of stream) or close; printed once it has ended.
int woken_readers() {
  for (const char* way : {"shutdown", "close"}) {
    int s = connect_peer();
    std::thread reader([s] {
      char b[64];
      while (recv(s, b, sizeof b, 0) > 0) {
      }
    });
    std::thread writer([s] { send(s, "x", 1, MSG_NOSIGNAL); });
    usleep(300000);
    std::thread closer([s, way] { strcmp(way, "close") == 0 ? close(s) : shutdown(s, SHUT_RD); });
    closer.join();
    writer.join();
    reader.join();
    printf("reader woken by %s\n", way);
    if (strcmp(way, "shutdown") == 0) close(s);
  }
  return 0;
}

}  // namespace

// ---- a traced program -------------------------------------------------------------------

// A few calls whose trace the test reads: a stream receive in two parts, the waits with
// a timeout on a card socket, a datagram that connects its socket, and receives that
// the C library answers for a socket without a session.
int traced_calls() {
  const int s = connect_peer();
  request(s, 'S', 1000);
  wait_readable(s);
  uint8_t buf[1000];
  say("recv 300 of 1000", recv(s, buf, 300, 0));
  iovec rest{buf, sizeof buf};
  say("readv the rest", readv(s, &rest, 1));
  request(s, 'S', 10);
  int p[2];
  if (pipe(p) != 0) return 1;
  fd_set rd;
  FD_ZERO(&rd);
  FD_SET(s, &rd);
  FD_SET(p[0], &rd);
  timeval three_seconds{3, 0};
  say("select a socket and a pipe", select(std::max(s, p[0]) + 1, &rd, nullptr, nullptr, &three_seconds));
  const int ep = epoll_create1(0);
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.fd = s;
  say("epoll_ctl EPOLLIN|EPOLLET", epoll_ctl(ep, EPOLL_CTL_ADD, s, &ev));
  epoll_event got{};
  say("epoll_wait", epoll_wait(ep, &got, 1, 3000));
  say("read 10", read(s, buf, 10));
  const int u = socket(AF_INET, SOCK_DGRAM, 0);
  say("recv on an unbound datagram socket", recv(u, buf, 10, MSG_DONTWAIT));
  say("recvfrom on it", recvfrom(u, buf, 10, MSG_DONTWAIT, nullptr, nullptr));
  fcntl(u, F_SETFL, O_NONBLOCK);
  say("read on it", read(u, buf, 10));
  say("sendto from it", sendto(u, buf, 10, 0, reinterpret_cast<sockaddr*>(&peer_addr), sizeof peer_addr));
  close(u);
  close(ep);
  close(p[0]);
  close(p[1]);
  close(s);
  return 0;
}

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 4) {
    fprintf(stderr, "usage: data_calls_helper tcp|udp|threads|woken-readers|traced ADDR PORT [MIB]\n");
    return 2;
  }
  peer_addr.sin_family = AF_INET;
  peer_addr.sin_port = htons(uint16_t(atoi(argv[3])));
  inet_pton(AF_INET, argv[2], &peer_addr.sin_addr);
  const std::string mode = argv[1];
  if (mode == "tcp") return tcp_calls();
  if (mode == "udp") return udp_calls();
  if (mode == "threads") return reader_and_writer(argc > 4 ? atol(argv[4]) : 4);
  if (mode == "woken-readers") return woken_readers();
  if (mode == "traced") return traced_calls();
  return 2;
}
