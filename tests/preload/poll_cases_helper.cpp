// An ordinary program that waits with poll, ppoll, select and pselect on a TCP connection
// to the Linux peer (data_peer.py), UDP sockets and pipes, one table of cases per
// question, and prints each answer. The tests run it without a preload library, where
// the kernel's answers are the reference, and under each library, where the card serves
// the sockets. Times are printed only as whether a wait kept its timeout.
//   poll_cases_helper ADDR PORT CLOSED_PORT
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "wait_cases.h"

namespace {

using namespace wait_cases;


std::string hex(long v) {
  char b[16];
  snprintf(b, sizeof b, "%#lx", v);
  return b;
}

// Whether a wait of `ms` lasted that long and not much more.
std::string kept(double start, int ms) {
  const double took = (now_s() - start) * 1000;
  return took >= ms - 5 && took < ms + 900 ? "kept" : "took " + std::to_string(int(took)) + " ms";
}

short poll_one(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  const int n = poll(&p, 1, ms);
  return n < 0 ? short(-1) : p.revents;
}

// Polls until every bit of `want` is reported (or 5 s pass), then prints the answer.
void settle(const char* what, int fd, short events, short want) {
  short got = poll_one(fd, events, 0);
  for (int i = 0; i < 100 && (got & want) != want; ++i) {
    usleep(50'000);
    got = poll_one(fd, events, 0);
  }
  say(what, got, hex(got));
}

// select on sets sized by nfds, as a program keeping large sets on the heap does; a
// guard word after each set shows that nothing beyond nfds was written.
struct sized_sets {
  int nfds;
  std::vector<unsigned long> words[3];
  static constexpr unsigned long guard = 0x5a5a5a5a5a5a5a5aUL;

  explicit sized_sets(int n) : nfds(n) {
    for (auto& w : words) w.assign((n + 63) / 64 + 1, 0), w.back() = guard;
  }
  void add(int set, int fd) { words[set][fd / 64] |= 1UL << (fd % 64); }
  bool has(int set, int fd) const { return (words[set][fd / 64] >> (fd % 64)) & 1; }
  bool guards_kept() const {
    for (auto& w : words)
      if (w.back() != guard) return false;
    return true;
  }
  int wait(timeval* tv) {
    return select(nfds, reinterpret_cast<fd_set*>(words[0].data()),
                  reinterpret_cast<fd_set*>(words[1].data()),
                  reinterpret_cast<fd_set*>(words[2].data()), tv);
  }
  std::string bits(int fd) const {
    return std::string(has(0, fd) ? "r" : "-") + (has(1, fd) ? "w" : "-") + (has(2, fd) ? "e" : "-");
  }
};

void drain_pipe() {
  char b[64];
  while (read(pipe_rd, b, sizeof b) > 0) {
  }
}

// ---- cases ------------------------------------------------------------------------------

void timeouts(int s) {
  struct row {
    const char* name;
    int ms;
  } rows[] = {{"poll idle, zero timeout", 0}, {"poll idle, 150 ms", 150}};
  for (const row& r : rows) {
    const double t0 = now_s();
    pollfd p[2] = {{s, POLLIN, 0}, {pipe_rd, POLLIN, 0}};
    const int n = poll(p, 2, r.ms);
    say(r.name, n, kept(t0, r.ms));
  }
  const double t0 = now_s();
  timespec ts{0, 150'000'000};
  pollfd p{s, POLLIN, 0};
  const int pn = ppoll(&p, 1, &ts, nullptr);
  say("ppoll idle, 150 ms", pn, kept(t0, 150));
  sized_sets sets(s + 1);
  sets.add(0, s);
  sets.add(2, s);
  timeval tv{0, 150'000};
  const double t1 = now_s();
  const int n = sets.wait(&tv);
  say("select idle, 150 ms", n, kept(t1, 150) + " " + sets.bits(s) + " left " +
      std::to_string(tv.tv_sec + tv.tv_usec));
  sized_sets zero(s + 1);
  zero.add(0, s);
  zero.add(1, s);
  timeval none{0, 0};
  const int z = zero.wait(&none);
  say("select zero timeout", z, zero.bits(s));
  fd_set ws;
  FD_ZERO(&ws);
  FD_SET(s, &ws);
  timespec pz{0, 0};
  const int pn2 = pselect(s + 1, nullptr, &ws, nullptr, &pz, nullptr);
  say("pselect writable", pn2, FD_ISSET(s, &ws) ? "w" : "-");
}

void data_and_members(int s) {
  request(s, 'S', 100);
  say("poll data arrives", poll_one(s, POLLIN, 3000), "");
  if (write(pipe_wr, "x", 1) != 1) say("pipe write", -1);
  pollfd p[6] = {{s, POLLIN, 0},       {s, POLLOUT, 0},      {-1, POLLIN, 0},
                 {pipe_rd, POLLIN, 0}, {pipe_rd, POLLIN, 0}, {pipe_wr, POLLIN, 0}};
  const int n = poll(p, 6, 0);
  std::string r;
  for (auto& e : p) r += hex(e.revents) + " ";
  say("poll duplicates, negative, mixed", n, r);
  char buf[200];
  say("read after poll", recv(s, buf, sizeof buf, 0), "");
  std::vector<pollfd> many(2000);
  for (size_t i = 0; i < many.size(); ++i)
    many[i] = pollfd{i % 3 == 0 ? s : i % 3 == 1 ? pipe_rd : -1, POLLIN | POLLOUT, 0};
  int with = 0;
  const int m = poll(many.data(), many.size(), 0);
  for (auto& e : many) with += e.revents != 0;
  say("poll 2000 entries", m, std::to_string(with));
  drain_pipe();
}

// Descriptors above 1023: a card socket and a pipe beyond the old set size, in sets
// sized by nfds.
void high_descriptors() {
  std::vector<int> fillers;
  while (fillers.empty() || fillers.back() < 1100) fillers.push_back(open("/dev/null", O_RDONLY));
  int s = connect_to(ntohs(peer_addr.sin_port), false);
  const int high_pipe = dup2(pipe_rd, 1500);
  if (write(pipe_wr, "x", 1) != 1) say("pipe write", -1);
  request(s, 'S', 10);
  poll_one(s, POLLIN, 3000);
  sized_sets sets(1501);
  sets.add(0, s);
  sets.add(1, s);
  sets.add(0, high_pipe);
  sets.add(2, high_pipe);
  timeval tv{2, 0};
  const int n = sets.wait(&tv);
  say("select above 1023", n, std::string("socket ") + (s > 1023 ? "high " : "low ") +
      sets.bits(s) + " pipe " + sets.bits(high_pipe) + (sets.guards_kept() ? " guards kept" : " guards broken"));
  pollfd p[2] = {{s, POLLIN, 0}, {high_pipe, POLLIN, 0}};
  const int m = poll(p, 2, 0);
  say("poll above 1023", m, hex(p[0].revents) + " " + hex(p[1].revents));
  close(s);
  close(high_pipe);
  for (int f : fillers) close(f);
  drain_pipe();
}

void signals(int s) {
  alarm_in(100);
  say("poll ended by a handler", poll_one(s, POLLIN, 5000), "");
  alarm_in(100);
  fd_set rs;
  FD_ZERO(&rs);
  FD_SET(s, &rs);
  say("select ended by a handler", select(s + 1, &rs, nullptr, nullptr, nullptr), "");
  alarm_in(100);
  say("ppoll of nothing until a signal", ppoll(nullptr, 0, nullptr, nullptr), "");
  // A signal blocked by the thread and admitted by the wait's mask ends it at once.
  sigset_t block, admit;
  sigemptyset(&block);
  sigaddset(&block, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &block, &admit);
  raise(SIGALRM);
  pollfd p{s, POLLIN, 0};
  timespec ts{5, 0};
  say("ppoll admits a pending signal", ppoll(&p, 1, &ts, &admit), "");
  pthread_sigmask(SIG_SETMASK, &admit, nullptr);
}

// Timeouts at the end of time_t's range, microseconds carried past it among them, wait
// until the data comes, as the C library's and the kernel's do.
void endless_timeouts(int s) {
  struct row {
    const char* name;
    timeval tv;
  } rows[] = {{"select, endless timeout", {endless_s, 0}},
              {"select, carry past the range", {endless_s, 2'000'000}}};
  fd_set rs;
  for (row& r : rows) {
    ask_late_answer(s);
    FD_ZERO(&rs);
    FD_SET(s, &rs);
    const int n = select(s + 1, &rs, nullptr, nullptr, &r.tv);
    say(r.name, n, FD_ISSET(s, &rs) ? "r" : "-");
    read_late_answer(s);
  }
  ask_late_answer(s);
  FD_SET(s, &rs);
  const timespec ts{endless_s, 999'999'999};
  say("pselect, endless timeout", pselect(s + 1, &rs, nullptr, nullptr, &ts, nullptr), "");
  read_late_answer(s);
  ask_late_answer(s);
  pollfd p{s, POLLIN, 0};
  const int n = ppoll(&p, 1, &ts, nullptr);
  say("ppoll, endless timeout", n, hex(p.revents));
  read_late_answer(s);
}

// Another thread blocked in a receive on the same socket: the wait still ends at its
// timeout.
void held_member(int s) {
  std::thread reader([s] {
    char b[16];
    recv(s, b, sizeof b, MSG_WAITALL);
  });
  usleep(100'000);
  const double t0 = now_s();
  const short got = poll_one(s, POLLIN, 300);
  say("poll beside a blocked reader", got, kept(t0, 300));
  request(s, 'S', 16);
  reader.join();
}

// The peer ends its side, then we end ours: the answers of each step. (The card's
// engine takes the peer's FIN once the bytes before it are received, so the data is
// read first.)
void closing(int s) {
  request(s, 'C', 10);
  say("poll for the last bytes", poll_one(s, POLLIN, 3000), "");
  char b[32];
  say("read the rest", recv(s, b, sizeof b, MSG_WAITALL), "");
  settle("poll after the peer's FIN", s, POLLIN | POLLOUT | POLLRDHUP, POLLRDHUP);
  sized_sets sets(s + 1);
  for (int w = 0; w < 3; ++w) sets.add(w, s);
  timeval tv{0, 0};
  const int n = sets.wait(&tv);
  say("select after the peer's FIN", n, sets.bits(s));
  say("read end of stream", recv(s, b, sizeof b, 0), "");
  shutdown(s, SHUT_WR);
  settle("poll after both FINs", s, POLLIN | POLLOUT | POLLRDHUP, POLLHUP);
  close(s);
}

// The peer resets the connection after our FIN: an error all the same, which SO_ERROR
// tells once and so clears.
void reset_after_fin() {
  int s = connect_to(ntohs(peer_addr.sin_port), false);
  request(s, 'R', 0);
  shutdown(s, SHUT_WR);
  const short events = POLLIN | POLLOUT | POLLRDHUP;
  settle("poll of a reset after our FIN", s, events, POLLERR);
  for (const char* what : {"SO_ERROR after the reset", "SO_ERROR once told"}) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
    say(what, err, strerrorname_np(err));
  }
  const short got = poll_one(s, events, 0);
  say("poll once the reset is told", got, hex(got));
  char b[8];
  say("read after the reset", recv(s, b, sizeof b, 0), "");
  close(s);
}

void refused() {
  int s = connect_to(closed_port, true);
  settle("poll of a refused connect", s, POLLIN | POLLOUT, POLLERR);
  int err = 0;
  socklen_t len = sizeof err;
  getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
  say("SO_ERROR of a refused connect", err, strerrorname_np(err));
  close(s);
}

void datagrams() {
  int u = socket(AF_INET, SOCK_DGRAM, 0);
  say("poll unbound UDP", poll_one(u, POLLIN | POLLOUT, 0), "");
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(0xC6120001);  // our side of the wire
  bind(u, reinterpret_cast<sockaddr*>(&any), sizeof any);
  say("poll bound unconnected UDP", poll_one(u, POLLIN | POLLOUT, 0), "");
  sockaddr_in to = peer_addr;
  const char ask[4] = {'N', 1, 0, 20};
  sendto(u, ask, sizeof ask, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  say("poll UDP datagram arrives", poll_one(u, POLLIN, 3000), "");
  close(u);
}

}  // namespace

int main(int argc, char** argv) {
  if (!start(argc, argv)) return 2;
  rlimit lim{4096, 4096};
  setrlimit(RLIMIT_NOFILE, &lim);
  int s = connect_to(ntohs(peer_addr.sin_port), false);
  timeouts(s);
  data_and_members(s);
  high_descriptors();
  signals(s);
  endless_timeouts(s);
  held_member(s);
  closing(s);
  reset_after_fin();
  refused();
  datagrams();
  return 0;
}
