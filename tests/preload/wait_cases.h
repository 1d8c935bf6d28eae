// What the programs that print a wait's answers case by case share: their command line
// and pipe, the printed line, the clock, the requests to the Linux peer (data_peer.py)
// and the connections to it, and a signal that interrupts a wait.
#pragma once
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace wait_cases {

inline sockaddr_in peer_addr;  // the peer's TCP and UDP port
inline int closed_port;        // a port on the peer where nothing listens
inline int pipe_rd, pipe_wr;   // a kernel member, readable once written

// The command line ADDR PORT CLOSED_PORT and the pipe: false when either is unusable.
inline bool start(int argc, char** argv) {
  if (argc != 4) return false;
  peer_addr.sin_family = AF_INET;
  inet_pton(AF_INET, argv[1], &peer_addr.sin_addr);
  peer_addr.sin_port = htons(uint16_t(atoi(argv[2])));
  closed_port = atoi(argv[3]);
  int fds[2];
  if (pipe2(fds, O_NONBLOCK) != 0) return false;
  pipe_rd = fds[0];
  pipe_wr = fds[1];
  return true;
}

inline void say(const char* what, long result, const std::string& more = "") {
  printf("%-40s %ld %s%s%s\n", what, result, result < 0 ? strerrorname_np(errno) : "ok",
         more.empty() ? "" : " ", more.c_str());
  fflush(stdout);
}

inline double now_s() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// One request of data_peer.py's TCP server: an opcode and a count.
inline void request(int s, char op, uint32_t n) {
  uint8_t m[5] = {uint8_t(op)};
  const uint32_t be = htonl(n);
  memcpy(m + 1, &be, 4);
  if (send(s, m, 5, MSG_NOSIGNAL) != 5) say("request failed", -1);
}

inline int connect_to(int port, bool nonblocking) {
  int s = socket(AF_INET, SOCK_STREAM | (nonblocking ? SOCK_NONBLOCK : 0), 0);
  sockaddr_in a = peer_addr;
  a.sin_port = htons(uint16_t(port));
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
    say("connect", -1);
    exit(1);
  }
  return s;
}

// The longest timeouts a program can give, which the kernel takes as waits without end:
// every second time_t holds.
inline constexpr time_t endless_s = std::numeric_limits<time_t>::max();

// Asks the peer for 8 bytes that it sends a second later ('h' of nothing: its CRC-32),
// so that a wait must really wait for them; then, once waited, reads them.
inline void ask_late_answer(int s) { request(s, 'h', 0); }
inline void read_late_answer(int s) {
  char b[8];
  if (recv(s, b, sizeof b, MSG_WAITALL) != 8) say("late answer read", -1);
}

inline void on_alarm(int) {}

// SIGALRM in `ms`, with a handler installed with SA_RESTART: the waits end with EINTR
// all the same.
inline void alarm_in(int ms) {
  struct sigaction sa{};
  sa.sa_handler = on_alarm;
  sa.sa_flags = SA_RESTART;
  sigaction(SIGALRM, &sa, nullptr);
  itimerval t{};
  t.it_value.tv_usec = ms * 1000;
  setitimer(ITIMER_REAL, &t, nullptr);
}

}  // namespace wait_cases
