// An ordinary program that waits with epoll on TCP connections to the Linux peer
// (data_peer.py), UDP sockets and a pipe, one group of cases per question, and prints
// each answer. The tests run it without a preload library, where the kernel's answers
// are the reference, and under each library, where the card serves the sockets. Events
// are printed by the name each registration carries, sorted, so that the order in
// which a wait lists its members does not matter.
//   epoll_cases_helper ADDR PORT CLOSED_PORT
#include <algorithm>
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
#include <set>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "wait_cases.h"

namespace {

using namespace wait_cases;

const char* const names[] = {"sock", "sock2", "pipe", "old", "new", "client", "udp", "efd", "tfd", "inner"};
enum name_id { SOCK, SOCK2, PIPE, OLD, NEW, CLIENT, UDP, EFD, TFD, INNER };

std::string prompt(double start) { return now_s() - start < 1.0 ? "promptly" : "late"; }

void receive(int s, size_t n) {
  std::vector<char> b(n);
  if (recv(s, b.data(), n, MSG_WAITALL) != ssize_t(n)) say("receive", -1);
}

void readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 3000) != 1) say("never readable", -1);
}

int ctl(int ep, int op, int fd, uint32_t events, name_id id) {
  epoll_event ev{events, {}};
  ev.data.u64 = id;
  return epoll_ctl(ep, op, fd, &ev);
}

struct answer {
  int n;
  std::string text;
  uint32_t all;  // every event bit reported
};

answer wait_for(int ep, int ms, int maxevents = 8) {
  epoll_event ev[8];
  answer a{epoll_wait(ep, ev, maxevents, ms), "", 0};
  std::vector<std::string> parts;
  for (int i = 0; i < a.n; ++i) {
    char b[48];
    snprintf(b, sizeof b, "%s=%#x", names[ev[i].data.u64], ev[i].events);
    parts.push_back(b);
    a.all |= ev[i].events;
  }
  std::sort(parts.begin(), parts.end());
  for (auto& p : parts) a.text += (a.text.empty() ? "" : " ") + p;
  return a;
}

void say_wait(const char* what, int ep, int ms, int maxevents = 8) {
  const answer a = wait_for(ep, ms, maxevents);
  say(what, a.n, a.text);
}

// Waits until every bit of `want` is reported (or 5 s pass), then prints the answer.
void settle(const char* what, int ep, uint32_t want) {
  answer a = wait_for(ep, 0);
  for (int i = 0; i < 100 && (a.all & want) != want; ++i) {
    usleep(50'000);
    a = wait_for(ep, 0);
  }
  say(what, a.n, a.text);
}

// The names reported by `calls` waits of maxevents 1, each name once.
std::string served(int ep, int calls) {
  std::set<std::string> seen;
  for (int i = 0; i < calls; ++i) {
    epoll_event ev;
    if (epoll_wait(ep, &ev, 1, 0) == 1) seen.insert(names[ev.data.u64]);
  }
  std::string out;
  for (auto& s : seen) out += (out.empty() ? "" : " ") + s;
  return out;
}

void drain_pipe() {
  char b[64];
  while (read(pipe_rd, b, sizeof b) > 0) {
  }
}

void write_pipe() {
  if (write(pipe_wr, "x", 1) != 1) say("pipe write", -1);
}

// ---- cases ------------------------------------------------------------------------------

void level_and_edge(int s) {
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  say("add for input", ctl(ep, EPOLL_CTL_ADD, s, EPOLLIN, SOCK));
  say_wait("idle, zero timeout", ep, 0);
  epoll_event ev[1];
  const double t0 = now_s();
  const int n = epoll_wait(ep, ev, 1, 150);
  say("idle, 150 ms", n, now_s() - t0 >= 0.145 ? "kept" : "short");
  request(s, 'S', 100);
  say_wait("data arrives", ep, 3000);
  say_wait("level: reported again", ep, 0);
  receive(s, 100);
  say_wait("level: none once read", ep, 0);
  say("edge-triggered input", ctl(ep, EPOLL_CTL_MOD, s, EPOLLIN | EPOLLET, SOCK));
  request(s, 'S', 50);
  say_wait("edge: data arrives", ep, 3000);
  receive(s, 50);
  say_wait("edge: none once read", ep, 0);
  request(s, 'S', 20);
  say_wait("edge: more data arrives", ep, 3000);
  receive(s, 20);
  say("one-shot input", ctl(ep, EPOLL_CTL_MOD, s, EPOLLIN | EPOLLONESHOT, SOCK));
  request(s, 'S', 10);
  say_wait("one-shot: data arrives", ep, 3000);
  say_wait("one-shot: disarmed", ep, 0);
  say("one-shot: armed again", ctl(ep, EPOLL_CTL_MOD, s, EPOLLIN | EPOLLONESHOT, SOCK));
  say_wait("one-shot: reported again", ep, 0);
  receive(s, 10);
  close(ep);
}

void writable(int s) {
  const int ep = epoll_create(5);
  say("add for output, edge-triggered", ctl(ep, EPOLL_CTL_ADD, s, EPOLLOUT | EPOLLET, SOCK));
  say_wait("edge: writable on its first add", ep, 0);
  say_wait("edge: not again", ep, 0);
  say("level output", ctl(ep, EPOLL_CTL_MOD, s, EPOLLOUT, SOCK));
  say_wait("level: writable", ep, 0);
  say_wait("level: writable again", ep, 0);
  close(ep);
}

// Card sockets beside the pipe: the kernel twins of the card sockets never speak, and
// neither side starves the other when a wait takes one event at a time.
void mixed(int s) {
  const int ep = epoll_create1(0);
  ctl(ep, EPOLL_CTL_ADD, s, EPOLLIN, SOCK);
  ctl(ep, EPOLL_CTL_ADD, pipe_rd, EPOLLIN, PIPE);
  say_wait("mixed: idle", ep, 0);
  write_pipe();
  say_wait("mixed: the pipe", ep, 0);
  request(s, 'S', 10);
  readable(s);
  say_wait("mixed: both", ep, 0);
  say("mixed: one at a time serves", 0, served(ep, 6));
  const int s2 = connect_to(ntohs(peer_addr.sin_port), false);
  ctl(ep, EPOLL_CTL_ADD, s2, EPOLLIN, SOCK2);
  request(s2, 'S', 10);
  readable(s2);
  say("mixed: three ready, one at a time", 0, served(ep, 9));
  drain_pipe();
  say("card only, one at a time", 0, served(ep, 6));
  receive(s, 10);
  receive(s2, 10);
  say_wait("mixed: all read", ep, 0);
  close(s2);
  epoll_ctl(ep, EPOLL_CTL_DEL, s, nullptr);
  write_pipe();
  say("kernel only, one at a time", 0, served(ep, 4));
  drain_pipe();
  close(ep);
}

void connecting() {
  struct row {
    const char* name;
    uint32_t events;
  } rows[] = {{"background connect, level", EPOLLOUT},
              {"background connect, edge", EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET}};
  for (const row& r : rows) {
    const int s = connect_to(ntohs(peer_addr.sin_port), true);
    const int ep = epoll_create1(0);
    ctl(ep, EPOLL_CTL_ADD, pipe_rd, EPOLLIN, PIPE);
    ctl(ep, EPOLL_CTL_ADD, s, r.events, SOCK);
    say_wait(r.name, ep, 3000);
    int err = -1;
    socklen_t len = sizeof err;
    getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
    say("  SO_ERROR", err);
    close(s);
    close(ep);
  }
}

// The kernel reports a reset's error before the socket has closed, so a wait that
// comes in between sees EPOLLERR alone: the one-shot case starts once it has closed.
void until_closed(int s) {
  pollfd p{s, POLLOUT, 0};
  for (int i = 0; i < 50 && (p.revents & POLLHUP) == 0; ++i) poll(&p, 1, 100);
}

void refused() {
  const int s = connect_to(closed_port, true);
  until_closed(s);
  const int ep = epoll_create1(0);
  ctl(ep, EPOLL_CTL_ADD, s, EPOLLOUT | EPOLLONESHOT, SOCK);
  say_wait("refused connect, one-shot", ep, 3000);
  say_wait("refused connect: disarmed", ep, 0);
  int err = 0;
  socklen_t len = sizeof err;
  getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
  say("refused connect: SO_ERROR", err, strerrorname_np(err));
  close(s);
  close(ep);
}

void peer_closes() {
  const int s = connect_to(ntohs(peer_addr.sin_port), false);
  const int ep = epoll_create1(0);
  ctl(ep, EPOLL_CTL_ADD, s, EPOLLIN | EPOLLRDHUP, SOCK);
  request(s, 'C', 10);
  const answer a = wait_for(ep, 3000);
  say("peer's last bytes", a.n, a.all & EPOLLIN ? "in" : "-");
  receive(s, 10);
  settle("peer's FIN", ep, EPOLLRDHUP);
  close(s);
  close(ep);
}

// A member closed without a DEL leaves the set, also when its number comes back.
void closed_member() {
  const int ep = epoll_create1(0);
  const int a = connect_to(ntohs(peer_addr.sin_port), false);
  ctl(ep, EPOLL_CTL_ADD, a, EPOLLIN, OLD);
  close(a);
  // Lower numbers that something else freed meanwhile are filled first.
  std::vector<int> fillers;
  int b = socket(AF_INET, SOCK_STREAM, 0);
  while (b != a && b >= 0 && fillers.size() < 64)
    fillers.push_back(std::exchange(b, socket(AF_INET, SOCK_STREAM, 0)));
  for (int f : fillers) close(f);
  sockaddr_in to = peer_addr;
  say("closed member: number comes back", connect(b, reinterpret_cast<sockaddr*>(&to), sizeof to),
      b == a ? "same" : "other");
  request(b, 'S', 10);
  readable(b);
  say_wait("closed member: not reported", ep, 200);
  say("closed member: the new one added", ctl(ep, EPOLL_CTL_ADD, b, EPOLLIN, NEW));
  say_wait("closed member: the new one", ep, 0);
  say("DEL with a null event", epoll_ctl(ep, EPOLL_CTL_DEL, b, nullptr));
  say_wait("after DEL: not reported", ep, 0);
  receive(b, 10);
  close(b);
  close(ep);
}

void refusals(int s) {
  const int ep = epoll_create1(0);
  epoll_event ev[1];
  ctl(ep, EPOLL_CTL_ADD, s, EPOLLIN, SOCK);
  say("add twice", ctl(ep, EPOLL_CTL_ADD, s, EPOLLIN, SOCK));
  say("modify a stranger", ctl(ep, EPOLL_CTL_MOD, pipe_wr, EPOLLIN, PIPE));
  say("delete a stranger", epoll_ctl(ep, EPOLL_CTL_DEL, pipe_wr, nullptr));
  say("add a null event", epoll_ctl(ep, EPOLL_CTL_ADD, pipe_wr, nullptr));
  say("add the set to itself", ctl(ep, EPOLL_CTL_ADD, ep, EPOLLIN, PIPE));
  say("unknown operation", ctl(ep, 7, s, EPOLLIN, SOCK));
  say("wait on a socket", epoll_wait(s, ev, 1, 0));
  say("wait for no events", epoll_wait(ep, ev, 0, 0));
  // Failed requests leave the kernel's members counted as they are.
  ctl(ep, EPOLL_CTL_ADD, pipe_rd, EPOLLIN, PIPE);
  say("add the pipe twice", ctl(ep, EPOLL_CTL_ADD, pipe_rd, EPOLLIN, PIPE));
  say("delete a stranger again", epoll_ctl(ep, EPOLL_CTL_DEL, pipe_wr, nullptr));
  write_pipe();
  say_wait("the pipe after failed requests", ep, 0);
  drain_pipe();
  close(ep);
}

// Seen through a variable, so that the compiler's own check of a null array does not
// refuse the case the program makes on purpose.
epoll_event* volatile no_events = nullptr;

// A null events array: nothing to report is no fault; a ready member is, and stays
// ready (even one-shot) for the next wait.
void null_events(int s) {
  const int ep = epoll_create1(0);
  ctl(ep, EPOLL_CTL_ADD, s, EPOLLIN | EPOLLONESHOT, SOCK);
  say("null events, nothing ready", epoll_wait(ep, no_events, 1, 0));
  say("null events, nothing ready, 20 ms", epoll_pwait(ep, no_events, 4, 20, nullptr));
  say("null events, no room", epoll_wait(ep, no_events, 0, 0));
  request(s, 'S', 10);
  readable(s);
  say("null events, the socket ready", epoll_wait(ep, no_events, 1, 0));
  say_wait("  the next wait still sees it", ep, 0);
  receive(s, 10);
  ctl(ep, EPOLL_CTL_ADD, pipe_rd, EPOLLIN, PIPE);
  write_pipe();
  say("null events, the pipe ready", epoll_wait(ep, no_events, 1, 0));
  drain_pipe();
  close(ep);
}

// A set inside another with a card member: the outer set reports the inner one when
// its member is ready, or the library refuses the set (EINVAL) rather than leave its
// members unseen; either way the inner set reports its own member.
void nested_set(int s) {
  const int inner = epoll_create1(0);
  const int outer = epoll_create1(0);
  ctl(inner, EPOLL_CTL_ADD, s, EPOLLIN, SOCK);
  const int added = ctl(outer, EPOLL_CTL_ADD, inner, EPOLLIN, INNER);
  const bool refused = added == -1 && errno == EINVAL;
  request(s, 'S', 10);
  readable(s);
  const answer a = refused ? answer{} : wait_for(outer, 3000);
  say("nested set: seen or refused", 0,
      refused || (added == 0 && a.text == "inner=0x1") ? "yes" : "no: " + a.text);
  say_wait("nested set: the inner set", inner, 0);
  receive(s, 10);
  close(outer);
  close(inner);
}

// Another thread changes and closes while a wait has no end.
void other_threads(int s) {
  const int ep = epoll_create1(0);
  ctl(ep, EPOLL_CTL_ADD, s, EPOLLIN, SOCK);
  answer got{};
  std::thread waiter([&] { got = wait_for(ep, -1); });
  usleep(100'000);
  double t0 = now_s();
  say("add beside an endless wait", ctl(ep, EPOLL_CTL_ADD, pipe_rd, EPOLLIN, PIPE), prompt(t0));
  write_pipe();
  waiter.join();
  say("  the wait sees it", got.n, got.text);
  drain_pipe();
  const int s2 = connect_to(ntohs(peer_addr.sin_port), false);
  ctl(ep, EPOLL_CTL_ADD, s2, EPOLLIN, SOCK2);
  std::thread waiter2([&] { got = wait_for(ep, -1); });
  usleep(100'000);
  t0 = now_s();
  say("close a member beside an endless wait", close(s2), prompt(t0));
  t0 = now_s();
  say("delete beside an endless wait", epoll_ctl(ep, EPOLL_CTL_DEL, s, nullptr), prompt(t0));
  write_pipe();
  waiter2.join();
  say("  the wait sees the pipe", got.n, got.text);
  drain_pipe();
  // The thread sanitizer takes a close beside a call on the same descriptor for a race
  // of the program's own.
#ifndef __SANITIZE_THREAD__
  std::thread waiter3([&] { got = wait_for(ep, 1000); });
  usleep(100'000);
  t0 = now_s();
  say("close the set beside a wait", close(ep), prompt(t0));
  waiter3.join();
#else
  close(ep);
#endif
}

void signals(int s) {
  const int ep = epoll_create1(0);
  epoll_event ev[1];
  ctl(ep, EPOLL_CTL_ADD, s, EPOLLIN, SOCK);
  alarm_in(100);
  say("card member ended by a handler", epoll_wait(ep, ev, 1, 5000));
  const int kernel_only = epoll_create1(0);
  ctl(kernel_only, EPOLL_CTL_ADD, pipe_rd, EPOLLIN, PIPE);
  alarm_in(100);
  say("kernel member ended by a handler", epoll_wait(kernel_only, ev, 1, -1));
  sigset_t block, admit;
  sigemptyset(&block);
  sigaddset(&block, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &block, &admit);
  raise(SIGALRM);
  say("pwait admits a pending signal", epoll_pwait(ep, ev, 1, 5000, &admit));
  pthread_sigmask(SIG_SETMASK, &admit, nullptr);
  // A set of both kinds asks the kernel's set at every turn, which alone takes no signal.
  ctl(ep, EPOLL_CTL_ADD, pipe_rd, EPOLLIN, PIPE);
  alarm_in(100);
  say("card and kernel members ended by a handler", epoll_wait(ep, ev, 1, 5000));
  close(kernel_only);
  close(ep);
}

void datagrams() {
  const int u = socket(AF_INET, SOCK_DGRAM, 0);
  const int ep = epoll_create1(0);
  ctl(ep, EPOLL_CTL_ADD, u, EPOLLIN | EPOLLOUT, UDP);
  say_wait("unbound UDP", ep, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(0xC6120001);  // our side of the wire
  bind(u, reinterpret_cast<sockaddr*>(&any), sizeof any);
  say_wait("bound UDP", ep, 0);
  ctl(ep, EPOLL_CTL_MOD, u, EPOLLIN, UDP);
  const char ask[4] = {'N', 2, 0, 20};
  sendto(u, ask, sizeof ask, 0, reinterpret_cast<const sockaddr*>(&peer_addr), sizeof peer_addr);
  say_wait("UDP datagrams arrive", ep, 3000);
  char b[64];
  recv(u, b, sizeof b, 0);
  readable(u);
  say_wait("UDP one left", ep, 0);
  recv(u, b, sizeof b, 0);
  say_wait("UDP all read", ep, 0);
  close(u);
  close(ep);
}

// An eventfd and a timerfd beside a card socket, level- and edge-triggered: an edge is
// a write or an expiry that no wait has reported yet.
void emulated_members(int s) {
  const int ep = epoll_create1(0);
  const int efd = eventfd(0, EFD_NONBLOCK);
  const int tfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK);
  ctl(ep, EPOLL_CTL_ADD, s, EPOLLIN, SOCK);
  ctl(ep, EPOLL_CTL_ADD, efd, EPOLLIN | EPOLLOUT, EFD);
  ctl(ep, EPOLL_CTL_ADD, tfd, EPOLLIN, TFD);
  say_wait("eventfd writable, timer disarmed", ep, 0);
  ctl(ep, EPOLL_CTL_MOD, efd, EPOLLIN | EPOLLET, EFD);
  say_wait("eventfd edge: nothing written", ep, 0);
  eventfd_write(efd, 1);
  say_wait("eventfd edge: written", ep, 0);
  say_wait("eventfd edge: not again", ep, 0);
  eventfd_write(efd, 2);
  say_wait("eventfd edge: written again", ep, 0);
  eventfd_t value = 0;
  eventfd_read(efd, &value);
  say("eventfd read", long(value));
  say_wait("eventfd edge: read", ep, 0);
  itimerspec once{{0, 0}, {0, 50'000'000}};
  timerfd_settime(tfd, 0, &once, nullptr);
  say_wait("timer level: expires", ep, 2000);
  say_wait("timer level: again", ep, 0);
  ctl(ep, EPOLL_CTL_MOD, tfd, EPOLLIN | EPOLLET, TFD);
  uint64_t expiries = 0;
  const long got = read(tfd, &expiries, sizeof expiries);
  say("timer read", got, std::to_string(expiries));
  timerfd_settime(tfd, 0, &once, nullptr);
  say_wait("timer edge: expires", ep, 2000);
  say_wait("timer edge: not again", ep, 0);
  close(efd);
  close(tfd);
  close(ep);
}

// A member that turns out to be a kernel socket (its destination is not behind the
// card) is answered by the kernel from then on.
void kernel_destination() {
  const int l = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in lo{};
  lo.sin_family = AF_INET;
  lo.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof lo;
  if (bind(l, reinterpret_cast<sockaddr*>(&lo), sizeof lo) != 0 || listen(l, 4) != 0 ||
      getsockname(l, reinterpret_cast<sockaddr*>(&lo), &len) != 0)
    say("loopback listener", -1);
  const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  const int ep = epoll_create1(0);
  ctl(ep, EPOLL_CTL_ADD, c, EPOLLIN | EPOLLOUT, CLIENT);
  say_wait("unconnected TCP", ep, 0);
  connect(c, reinterpret_cast<sockaddr*>(&lo), sizeof lo);
  say_wait("connected over loopback", ep, 3000);
  close(c);
  close(l);
  close(ep);
}

}  // namespace

// epoll_pwait2 with a timeout at the end of time_t's range waits until an event comes,
// as the kernel's: on the card socket, and on a set of kernel members only, which the
// emulation waits for in the kernel slice by slice.
void endless_timeouts(int s) {
  const timespec endless{endless_s, 999'999'999};
  epoll_event ev[2];
  int ep = epoll_create1(0);
  ctl(ep, EPOLL_CTL_ADD, s, EPOLLIN, SOCK);
  ask_late_answer(s);
  int n = epoll_pwait2(ep, ev, 2, &endless, nullptr);
  say("epoll_pwait2, endless timeout", n, names[ev[0].data.u64]);
  read_late_answer(s);
  close(ep);
  ep = epoll_create1(0);
  ctl(ep, EPOLL_CTL_ADD, pipe_rd, EPOLLIN, PIPE);
  std::thread writer([] {
    usleep(200'000);
    write_pipe();
  });
  n = epoll_pwait2(ep, ev, 2, &endless, nullptr);
  say("epoll_pwait2 of a pipe, endless timeout", n, names[ev[0].data.u64]);
  writer.join();
  drain_pipe();
  close(ep);
}

int main(int argc, char** argv) {
  if (!start(argc, argv)) return 2;
  const int s = connect_to(ntohs(peer_addr.sin_port), false);
  level_and_edge(s);
  writable(s);
  mixed(s);
  connecting();
  refused();
  peer_closes();
  closed_member();
  refusals(s);
  null_events(s);
  nested_set(s);
  other_threads(s);
  signals(s);
  endless_timeouts(s);
  datagrams();
  emulated_members(s);
  kernel_destination();
  return 0;
}
