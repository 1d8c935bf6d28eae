// The Linux side of the TCP data tests, run in the launcher's peer namespace: one
// connection that carries a stream each way at full speed (a Python peer cannot keep up
// with hundreds of mebibytes).
//
//   tcp_stream_peer listen PORT [options]      accepts one connection on PORT
//   tcp_stream_peer connect HOST PORT [options] opens one to HOST:PORT
//
//   --send N        sends N bytes of the stream of --seed (default 1)
//   --echo          sends back what it receives instead, as a plain echo server does:
//                   a piece read goes back whole before the next is read
//   --recv-seed S   the stream expected from the other side (default 2)
//   --mss M         TCP_MAXSEG on the socket before the handshake
//   --cc NAME       TCP_CONGESTION on the socket before the handshake (else the
//                   namespace's default, which is the host's)
//   --close         shuts the sending side down right after the last byte
//   --cork          corks while sending, so that the FIN rides on the last data segment
//   --rcvbuf B      SO_RCVBUF on the socket before the handshake (before listen)
//   --abort S       resets the connection (SO_LINGER 0) S seconds after it opened
//   --count N       (listen) serves N connections one after the other; the report is
//                   the last one's
//   --repeat        (listen) a connection reset before its end makes way for the next one
//   --timeout S     gives up after S seconds without a connection or without its end
//                   (default 120)
//   --ready FILE    created once the socket listens, or once connected
//
// Sending and receiving go on together; the connection ends when everything is sent
// (echoed) and the other side's FIN (or a reset) has come, and is then closed. The
// report has "key value" lines: sent, received, hash (of the bytes received), bad (first offset
// that differs from the expected stream, -1 none), eof, reset, timeout, retrans (the
// kernel's retransmitted segments), mss and wscale (the option as negotiated: 1 used,
// 0 not), connections (accepted in all).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tcp_stream.h"

namespace {

struct options {
  bool listen = true;
  std::string host;
  uint16_t port = 0;
  uint64_t send = 0;
  uint64_t seed = 1, recv_seed = 2;
  int mss = 0, rcvbuf = 0, abort_s = 0, count = 1;
  std::string cc;
  bool close = false, cork = false, repeat = false, echo = false;
  int timeout_s = 120;
  std::string ready;
};

struct outcome {
  uint64_t sent = 0;
  bool eof = false, reset = false, timeout = false;
  tcp_info info{};
  int mss = 0;
};

[[noreturn]] void usage() {
  fprintf(stderr, "usage: tcp_stream_peer (listen PORT | connect HOST PORT) [options]\n");
  exit(2);
}

[[noreturn]] void fail(const char* what) {
  perror(what);
  exit(1);
}

options parse(int argc, char** argv) {
  options o;
  int i = 1;
  if (argc < 3) usage();
  const std::string mode = argv[i++];
  if (mode == "connect") {
    o.listen = false;
    o.host = argv[i++];
  } else if (mode != "listen") {
    usage();
  }
  if (i >= argc) usage();
  o.port = uint16_t(atoi(argv[i++]));
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (a == "--send")
      o.send = strtoull(value(), nullptr, 0);
    else if (a == "--seed")
      o.seed = strtoull(value(), nullptr, 0);
    else if (a == "--recv-seed")
      o.recv_seed = strtoull(value(), nullptr, 0);
    else if (a == "--mss")
      o.mss = atoi(value());
    else if (a == "--cc")
      o.cc = value();
    else if (a == "--rcvbuf")
      o.rcvbuf = atoi(value());
    else if (a == "--abort")
      o.abort_s = atoi(value());
    else if (a == "--count")
      o.count = atoi(value());
    else if (a == "--timeout")
      o.timeout_s = atoi(value());
    else if (a == "--ready")
      o.ready = value();
    else if (a == "--close")
      o.close = true;
    else if (a == "--cork")
      o.cork = true;
    else if (a == "--repeat")
      o.repeat = true;
    else if (a == "--echo")
      o.echo = true;
    else
      usage();
  }
  return o;
}

void set_int(int fd, int level, int name, int v) {
  if (setsockopt(fd, level, name, &v, sizeof v) != 0) fail("setsockopt");
}

void mark_ready(const options& o) {
  if (o.ready.empty()) return;
  const int fd = open(o.ready.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
}

sockaddr_in address(const char* host, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (host && inet_pton(AF_INET, host, &a.sin_addr) != 1) usage();
  return a;
}

int tcp_socket(const options& o) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("socket");
  if (o.mss > 0) set_int(fd, IPPROTO_TCP, TCP_MAXSEG, o.mss);
  if (o.rcvbuf > 0) set_int(fd, SOL_SOCKET, SO_RCVBUF, o.rcvbuf);
  if (!o.cc.empty() &&
      setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, o.cc.data(), socklen_t(o.cc.size())) != 0)
    fail("TCP_CONGESTION");
  return fd;
}

int listener(const options& o) {
  const int fd = tcp_socket(o);
  set_int(fd, SOL_SOCKET, SO_REUSEADDR, 1);
  sockaddr_in a = address(nullptr, o.port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fail("bind");
  if (::listen(fd, 16) != 0) fail("listen");
  // A test that fails before it connects must not leave the peer waiting for ever.
  timeval limit{o.timeout_s, 0};
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) fail("setsockopt");
  mark_ready(o);
  return fd;
}

int connected(const options& o) {
  const int fd = tcp_socket(o);
  sockaddr_in a = address(o.host.c_str(), o.port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fail("connect");
  mark_ready(o);
  return fd;
}

using clk = std::chrono::steady_clock;

// Whether bytes wait to be sent: the rest of the stream, or (echo) the piece received
// that has not all gone back.
bool to_send(const options& o, const outcome& r, size_t head, size_t tail) {
  return o.echo ? head < tail : r.sent < o.send;
}

// Moves what it can of the stream (or of the piece to echo); false once the connection
// is reset.
bool send_some(int fd, const options& o, zt::stream_source& src, std::vector<uint8_t>& buf,
               size_t& head, size_t& tail, outcome& r) {
  if (head == tail && !o.echo) {
    const size_t n = size_t(std::min<uint64_t>(buf.size(), o.send - r.sent));
    src.fill(buf.data(), n);
    head = 0;
    tail = n;
  }
  const ssize_t n = send(fd, buf.data() + head, tail - head, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  head += size_t(n);
  r.sent += uint64_t(n);
  if (r.sent == o.send && o.close) shutdown(fd, SHUT_WR);
  return true;
}

// Takes what has arrived into buf (*got bytes); false at the end of the stream or a reset.
bool receive_some(int fd, zt::stream_check& check, std::vector<uint8_t>& buf, outcome& r,
                  size_t* got) {
  const ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
  *got = n > 0 ? size_t(n) : 0;
  if (n > 0) {
    check.take(buf.data(), size_t(n));
    return true;
  }
  if (n == 0)
    r.eof = true;
  else if (errno == EAGAIN || errno == EINTR)
    return true;
  else
    r.reset = true;
  return false;
}

// Runs one connection to its end.
outcome exchange(int fd, const options& o, zt::stream_check& check) {
  outcome r;
  if (o.cork) set_int(fd, IPPROTO_TCP, TCP_CORK, 1);
  zt::stream_source src(o.seed);
  std::vector<uint8_t> out(1 << 18), in(1 << 18);
  size_t head = 0, tail = 0;
  if (o.send == 0 && o.close) shutdown(fd, SHUT_WR);
  const auto deadline = clk::now() + std::chrono::seconds(o.timeout_s);
  const auto abort_at = clk::now() + std::chrono::seconds(o.abort_s);
  bool open = true;
  while (open || to_send(o, r, head, tail)) {
    if (o.abort_s > 0 && clk::now() >= abort_at) {
      // The close that follows sends a RST at our next sequence number.
      const linger now{1, 0};
      if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now) != 0) fail("SO_LINGER");
      r.reset = true;
      break;
    }
    const bool sending = to_send(o, r, head, tail);
    // An echo reads the next piece only once the last one has gone back.
    const bool reading = open && !(o.echo && sending);
    pollfd p{fd, short((reading ? POLLIN : 0) | (sending ? POLLOUT : 0)), 0};
    const auto until = o.abort_s > 0 ? std::min(deadline, abort_at) : deadline;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - clk::now());
    const bool quiet = left.count() <= 0 || poll(&p, 1, int(left.count()) + 1) == 0;
    if (quiet && clk::now() >= deadline) {
      r.timeout = true;
      break;
    }
    if (quiet) continue;
    if (sending && (p.revents & (POLLOUT | POLLERR | POLLHUP)) &&
        !send_some(fd, o, src, out, head, tail, r)) {
      r.reset = true;
      break;
    }
    if (reading && (p.revents & (POLLIN | POLLERR | POLLHUP))) {
      size_t got;
      open = receive_some(fd, check, o.echo ? out : in, r, &got);
      if (o.echo) {
        head = 0;
        tail = got;
      }
    }
    if (r.reset) break;
  }
  socklen_t len = sizeof r.info;
  getsockopt(fd, IPPROTO_TCP, TCP_INFO, &r.info, &len);
  len = sizeof r.mss;
  getsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &r.mss, &len);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const options o = parse(argc, argv);
  const int lfd = o.listen ? listener(o) : -1;
  outcome r;
  int connections = 0;
  for (;;) {
    const int fd = o.listen ? accept(lfd, nullptr, nullptr) : connected(o);
    if (fd < 0) fail("accept");
    ++connections;
    zt::stream_check check(o.recv_seed);
    r = exchange(fd, o, check);
    close(fd);
    const bool again = o.listen && ((o.repeat && r.reset && !r.eof) || connections < o.count);
    if (again) continue;
    printf("sent %llu\nreceived %llu\nhash %llu\nbad %lld\n", (unsigned long long)r.sent,
           (unsigned long long)check.bytes(), (unsigned long long)check.hash(),
           (long long)check.first_bad());
    break;
  }
  printf("eof %d\nreset %d\ntimeout %d\n", r.eof, r.reset, r.timeout);
  printf("retrans %u\nmss %d\nwscale %d\nconnections %d\n", r.info.tcpi_total_retrans, r.mss,
         (r.info.tcpi_options & TCPI_OPT_WSCALE) ? 1 : 0, connections);
  return 0;
}
