// An ordinary program that uses eventfd and timerfd descriptors, alone and waited on
// with poll beside a UDP socket connected to the Linux peer (data_peer.py's UDP
// server), and prints each answer.
// The tests run it without a preload library, where the kernel's answers are the
// reference, and under each library, which emulates both kinds. Times are printed only
// as whether they lie where the kernel puts them.
//   evfd_cases_helper ADDR PORT
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

sockaddr_in peer_addr;

void say(const std::string& what, long result, const std::string& more = "") {
  printf("%-44s %ld %s%s%s\n", what.c_str(), result, result < 0 ? strerrorname_np(errno) : "ok",
         more.empty() ? "" : " ", more.c_str());
  fflush(stdout);
}

double now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

long read_u64(int fd, uint64_t* value) { return long(read(fd, value, sizeof *value)); }
long write_u64(int fd, uint64_t value) { return long(write(fd, &value, sizeof value)); }

void read_case(const std::string& what, int fd) {
  uint64_t v = 0;
  const long n = read_u64(fd, &v);
  say(what, n, n > 0 ? "value " + std::to_string(v) : "");
}

std::string revents(short r) {
  std::string s;
  if (r & POLLIN) s += "IN ";
  if (r & POLLOUT) s += "OUT ";
  if (r & POLLERR) s += "ERR ";
  if (r & POLLHUP) s += "HUP ";
  return s.empty() ? "none" : s;
}

void poll_case(const std::string& what, int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  const long n = poll(&p, 1, timeout_ms);
  say(what, n, revents(p.revents));
}

// A blocking read that `other`, on a thread of its own, ends after at least min_ms. The
// time starts before the thread does: on a busy machine this thread may run again well
// after `other` has begun its pause, and a read that waited for it would look too soon.
void blocking_read_case(const std::string& what, int fd, double min_ms,
                        const std::function<void()>& other) {
  const double start = now_ms();
  std::thread thread(other);
  uint64_t v = 0;
  const long n = read_u64(fd, &v);
  const double took = now_ms() - start;
  say(what, n, "value " + std::to_string(v) + (took >= min_ms ? " waited" : " too soon"));
  thread.join();
}

// eventfd counts, semaphore mode, overflow and short buffers, all without waiting.
void eventfd_counts() {
  struct {
    const char* name;
    unsigned init;
    int flags;
    uint64_t writes[3];
    int reads;
  } cases[] = {
      {"plain init 3", 3, EFD_NONBLOCK, {0, 0, 0}, 2},
      {"plain writes 1+2+4", 0, EFD_NONBLOCK, {1, 2, 4}, 2},
      {"semaphore write 2", 0, EFD_SEMAPHORE | EFD_NONBLOCK, {2, 0, 0}, 3},
      {"semaphore init 2 write 1", 2, EFD_SEMAPHORE | EFD_NONBLOCK, {1, 0, 0}, 4},
      {"write max-1", 0, EFD_NONBLOCK, {UINT64_MAX - 1, 1, 0}, 2},
      {"write max", 0, EFD_NONBLOCK, {UINT64_MAX, 5, 0}, 2},
      {"init 1 write max-1", 1, EFD_NONBLOCK, {UINT64_MAX - 1, UINT64_MAX - 2, 0}, 2},
  };
  for (const auto& c : cases) {
    const int fd = eventfd(c.init, c.flags);
    const std::string at = std::string("eventfd ") + c.name;
    for (uint64_t w : c.writes)
      if (w != 0) say(at + " write", write_u64(fd, w));
    poll_case(at + " poll", fd, POLLIN | POLLOUT, 0);
    for (int i = 0; i < c.reads; ++i) read_case(at + " read", fd);
    poll_case(at + " poll after", fd, POLLIN | POLLOUT, 0);
    close(fd);
  }
  const int fd = eventfd(9, EFD_NONBLOCK);
  char small[4] = {};
  say("eventfd read of 4 bytes", long(read(fd, small, sizeof small)));
  say("eventfd write of 4 bytes", long(write(fd, small, sizeof small)));
  say("eventfd write of 0", write_u64(fd, 0));
  char big[16] = {};
  const long n = long(read(fd, big, sizeof big));
  uint64_t v = 0;
  memcpy(&v, big, sizeof v);
  say("eventfd read of 16 bytes", n, "value " + std::to_string(v));
  eventfd_t value = 0;
  say("eventfd_write 5", eventfd_write(fd, 5));
  const int got = eventfd_read(fd, &value);
  say("eventfd_read", got, "value " + std::to_string(value));
  say("eventfd_read empty", eventfd_read(fd, &value));
  say("fcntl F_GETFL nonblock", fcntl(fd, F_GETFL) & O_NONBLOCK);
  say("fcntl F_SETFL blocking", fcntl(fd, F_SETFL, 0));
  say("fcntl F_GETFL after", fcntl(fd, F_GETFL) & O_NONBLOCK);
  close(fd);
}

// A blocking read that another thread's write wakes, and a blocking write at the top.
void eventfd_blocking() {
  const int fd = eventfd(0, 0);
  blocking_read_case("eventfd blocking read woken by a writer", fd, 95, [fd] {
    sleep_ms(100);
    write_u64(fd, 42);
  });

  say("eventfd fill to max", write_u64(fd, UINT64_MAX - 1));
  // The time starts before the reader does (its pause may begin long before this thread
  // runs again); the write waited only if the reader had begun its read by its end.
  std::atomic<bool> reading{false};
  const double full = now_ms();
  std::thread reader([fd, &reading] {
    sleep_ms(100);
    uint64_t taken = 0;
    reading = true;
    read_u64(fd, &taken);
  });
  const long put = write_u64(fd, 3);
  const bool waited = now_ms() - full >= 95 && reading;
  say("eventfd blocking write over max", put, waited ? "waited" : "too soon");
  reader.join();
  read_case("eventfd read after the wait", fd);
  close(fd);
}

volatile sig_atomic_t handled = 0;
void on_signal(int) { handled = handled + 1; }

// A blocking read ends with EINTR when a handler without SA_RESTART runs, and goes on
// after one with it.
void blocking_read_signals(const char* kind, int fd, void (*wake)(int)) {
  for (int restart : {0, SA_RESTART}) {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sa.sa_flags = restart;
    sigaction(SIGUSR1, &sa, nullptr);
    handled = 0;
    std::atomic<bool> done{false};
    const pthread_t self = pthread_self();
    // The signal comes again until the read ends, in case the first one came before it.
    std::thread other([self, fd, wake, restart, &done] {
      for (int i = 0; i < 30 && !done; ++i) {
        sleep_ms(100);
        pthread_kill(self, SIGUSR1);
        if (restart != 0 && i == 1) wake(fd);
      }
    });
    uint64_t v = 0;
    const long n = read_u64(fd, &v);
    done = true;
    say(std::string(kind) + (restart ? " read, SA_RESTART handler" : " read, plain handler"), n,
        handled > 0 ? "handled" : "not handled");
    other.join();
  }
  signal(SIGUSR1, SIG_DFL);
}

void wake_eventfd(int fd) { write_u64(fd, 1); }
void wake_timerfd(int fd) {
  const itimerspec soon{{0, 0}, {0, 1'000'000}};
  timerfd_settime(fd, 0, &soon, nullptr);
}

void signals() {
  const int e = eventfd(0, 0);
  blocking_read_signals("eventfd", e, wake_eventfd);
  close(e);
  const int t = timerfd_create(CLOCK_MONOTONIC, 0);
  blocking_read_signals("disarmed timerfd", t, wake_timerfd);
  close(t);
}

itimerspec spec_ms(long value_ms, long interval_ms) {
  return {{interval_ms / 1000, (interval_ms % 1000) * 1'000'000},
          {value_ms / 1000, (value_ms % 1000) * 1'000'000}};
}

double ms_of(const timespec& t) { return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6; }

// Expiry counts of one-shot and periodic timers, the time left, and a disarmed timer.
void timer_counts() {
  const int t = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK);
  itimerspec cur{};
  read_case("timerfd disarmed read", t);
  int got = timerfd_gettime(t, &cur);
  say("timerfd disarmed gettime", got,
      std::to_string(ms_of(cur.it_value)) + " " + std::to_string(ms_of(cur.it_interval)));
  poll_case("timerfd disarmed poll", t, POLLIN | POLLOUT, 0);

  itimerspec one = spec_ms(100, 0);
  say("timerfd set 100 ms", timerfd_settime(t, 0, &one, nullptr));
  read_case("timerfd read at once", t);
  poll_case("timerfd poll 2000 ms", t, POLLIN | POLLOUT, 2000);
  read_case("timerfd one-shot read", t);
  read_case("timerfd read after the shot", t);
  got = timerfd_gettime(t, &cur);
  say("timerfd gettime after the shot", got, std::to_string(ms_of(cur.it_value)));

  itimerspec periodic = spec_ms(100, 50);
  const double set_at = now_ms();
  say("timerfd set 100 ms every 50 ms", timerfd_settime(t, 0, &periodic, nullptr));
  sleep_ms(230);
  uint64_t count = 0;
  const double before = now_ms() - set_at;
  const long n = read_u64(t, &count);
  const double after = now_ms() - set_at;
  const auto expiries = [](double ms) { return ms < 100 ? 0 : uint64_t((ms - 100) / 50) + 1; };
  say("timerfd periodic read", n,
      count >= expiries(before) && count <= expiries(after) ? "count as elapsed"
                                                            : "count " + std::to_string(count));
  timerfd_gettime(t, &cur);
  const double left = ms_of(cur.it_value);
  say("timerfd periodic gettime", 0,
      left > 0 && left <= 50 ? "next within the period" : "left " + std::to_string(left));
  say("timerfd periodic interval", 0, std::to_string(ms_of(cur.it_interval)));

  itimerspec disarm = spec_ms(0, 70);
  say("timerfd disarm", timerfd_settime(t, 0, &disarm, nullptr));
  // The kernel reports what was left of the replaced setting here, not zero.
  got = timerfd_gettime(t, &cur);
  say("timerfd gettime disarmed", got,
      std::string(ms_of(cur.it_value) <= 50 ? "within the old period " : "left ") +
          std::to_string(ms_of(cur.it_interval)));
  poll_case("timerfd poll disarmed 150 ms", t, POLLIN, 150);
  read_case("timerfd read disarmed", t);
  close(t);
}

// settime's old value is the time left of the setting it replaces; malformed times
// are refused.
void timer_settings() {
  const int t = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  itimerspec ten = spec_ms(10'000, 1'000);
  itimerspec old{{7, 0}, {7, 0}};
  const int set = timerfd_settime(t, 0, &ten, &old);
  say("settime 10 s every 1 s", set,
      std::to_string(ms_of(old.it_value)) + " " + std::to_string(ms_of(old.it_interval)));
  sleep_ms(200);
  itimerspec five = spec_ms(5'000, 0);
  say("settime again", timerfd_settime(t, 0, &five, &old));
  const double left = ms_of(old.it_value);
  say("settime old value", 0,
      (left > 5'000 && left <= 9'800 ? std::string("time left") : "left " + std::to_string(left)) +
          " interval " + std::to_string(ms_of(old.it_interval)));
  struct {
    const char* name;
    itimerspec spec;
  } bad[] = {
      {"value nsec 1e9", {{0, 0}, {0, 1'000'000'000}}},
      {"value nsec -1", {{0, 0}, {0, -1}}},
      {"interval nsec 1e9", {{0, 1'000'000'000}, {1, 0}}},
      {"value sec -1", {{0, 0}, {-1, 0}}},
  };
  for (const auto& b : bad) say(std::string("settime ") + b.name, timerfd_settime(t, 0, &b.spec, nullptr));
  say("settime bad flags", timerfd_settime(t, 0x40, &ten, nullptr));
  const int got = timerfd_gettime(t, &old);
  const double kept = ms_of(old.it_value);
  say("gettime after refusals", got, kept > 4'000 && kept <= 5'000 ? "kept" : std::to_string(kept));
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  itimerspec past{{0, 0}, {now.tv_sec - 1, 0}};
  say("settime absolute in the past", timerfd_settime(t, TFD_TIMER_ABSTIME, &past, &old));
  poll_case("poll absolute in the past", t, POLLIN, 0);
  read_case("read absolute in the past", t);
  close(t);
}

// A blocking read of a disarmed timer waits for a setting from another thread.
void timer_blocking() {
  const int t = timerfd_create(CLOCK_MONOTONIC, 0);
  blocking_read_case("timerfd blocking read of a disarmed timer", t, 145, [t] {
    sleep_ms(100);
    itimerspec soon = spec_ms(50, 0);
    timerfd_settime(t, 0, &soon, nullptr);
  });
  close(t);
}

int connected_udp(int port, int flags) {
  const int s = socket(AF_INET, SOCK_DGRAM | flags, 0);
  sockaddr_in to = peer_addr;
  to.sin_port = htons(uint16_t(port));
  connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to);
  return s;
}

// One poll over a UDP socket, an eventfd and a timerfd, printed per member.
void poll_all(const char* what, int s, int e, int t, int timeout_ms) {
  pollfd p[3] = {{s, POLLIN, 0}, {e, POLLIN, 0}, {t, POLLIN, 0}};
  const long n = poll(p, 3, timeout_ms);
  say(what, n, "udp " + revents(p[0].revents) + "/ eventfd " + revents(p[1].revents) +
                   "/ timerfd " + revents(p[2].revents));
}

void beside_sockets(int port) {
  const int s = connected_udp(port, 0);
  const int e = eventfd(0, EFD_NONBLOCK);
  const int t = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK);
  poll_all("poll none ready", s, e, t, 50);
  itimerspec shot = spec_ms(100, 0);
  timerfd_settime(t, 0, &shot, nullptr);
  poll_all("poll until the timer", s, e, t, 3000);
  read_case("read the timer", t);
  std::thread writer([e] {
    sleep_ms(50);
    write_u64(e, 6);
  });
  poll_all("poll until a write of another thread", s, e, t, 3000);
  writer.join();
  read_case("read the eventfd", e);
  const char ask[4] = {'N', 1, 0, 20};  // the peer sends one datagram of 20 bytes back
  say("ask the peer for a datagram", long(send(s, ask, sizeof ask, 0)));
  poll_all("poll until the datagram", s, e, t, 3000);
  char datagram[64];
  say("receive the datagram", long(recv(s, datagram, sizeof datagram, 0)));
  poll_all("poll none ready again", s, e, t, 0);
  close(t);
  close(e);
  close(s);
}

// Each way of duplicating an eventfd: the duplicate reads what the original was given
// and the original sees what the duplicate was given. dup2 lands on another eventfd.
void duplicates() {
  const std::pair<const char*, std::function<int(int)>> forms[] = {
      {"dup", [](int fd) { return dup(fd); }},
      {"dup2", [](int fd) { return dup2(fd, eventfd(0, 0)); }},
      {"dup3", [](int fd) { return dup3(fd, 200, O_CLOEXEC); }},
      {"F_DUPFD", [](int fd) { return fcntl(fd, F_DUPFD, 300); }},
      {"F_DUPFD_CLOEXEC", [](int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, 300); }},
  };
  for (const auto& [name, duplicate] : forms) {
    const std::string at = name;
    const int e = eventfd(0, EFD_NONBLOCK);
    say(at + " write 7", write_u64(e, 7));
    const int d = duplicate(e);
    say(at + " made", d > e);
    read_case(at + " read 7 through the duplicate", d);
    say(at + " write 2 through the duplicate", write_u64(d, 2));
    poll_case(at + " poll the original", e, POLLIN, 0);
    read_case(at + " read 2 on the original", e);
    close(d);
    close(e);
  }

  const int t = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK);
  itimerspec shot = spec_ms(50, 0);
  timerfd_settime(t, 0, &shot, nullptr);
  const int td = dup(t);
  poll_case("poll timer dup 2000 ms", td, POLLIN, 2000);
  read_case("read timer dup", td);
  read_case("read timer original", t);
  close(td);
  close(t);
}

// readv and writev reach the kernel object, and later waits see what they did.
void vector_calls() {
  const int e = eventfd(0, EFD_NONBLOCK);
  uint64_t value = 3;
  iovec one{&value, sizeof value};
  say("writev 3", long(writev(e, &one, 1)));
  poll_case("poll after writev", e, POLLIN, 0);
  read_case("read after writev", e);
  say("write 5", write_u64(e, 5));
  const long n = long(readv(e, &one, 1));
  say("readv", n, "value " + std::to_string(value));
  poll_case("poll after readv", e, POLLIN, 0);
  read_case("read after readv", e);
  close(e);
}

// A kernel epoll set and select over both kinds.
void other_waits() {
  const int e = eventfd(0, EFD_NONBLOCK);
  const int t = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK);
  const int ep = epoll_create1(0);
  epoll_event ev{EPOLLIN, {.u32 = 1}};
  epoll_ctl(ep, EPOLL_CTL_ADD, e, &ev);
  ev.data.u32 = 2;
  epoll_ctl(ep, EPOLL_CTL_ADD, t, &ev);
  const auto wait = [ep](const char* what, int timeout_ms) {
    epoll_event out[2] = {};
    const int n = epoll_wait(ep, out, 2, timeout_ms);
    std::string which;
    for (int i = 0; i < n; ++i) which += out[i].data.u32 == 1 ? "eventfd " : "timerfd ";
    say(what, n, which);
  };
  wait("epoll_wait none ready", 0);
  say("write 1", write_u64(e, 1));
  wait("epoll_wait after a write", 0);
  read_case("read the eventfd", e);
  itimerspec shot = spec_ms(50, 0);
  timerfd_settime(t, 0, &shot, nullptr);
  wait("epoll_wait for the timer", 2000);
  read_case("read the timer", t);
  wait("epoll_wait none ready again", 0);
  close(ep);
  say("write 2", write_u64(e, 2));
  fd_set rd;
  FD_ZERO(&rd);
  FD_SET(e, &rd);
  FD_SET(t, &rd);
  timeval none{0, 0};
  const int n = select(std::max(e, t) + 1, &rd, nullptr, nullptr, &none);
  say("select", n, std::string(FD_ISSET(e, &rd) ? "eventfd " : "") + (FD_ISSET(t, &rd) ? "timerfd" : ""));
  close(t);
  close(e);
}

double thread_cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A wait of a second on nothing but an eventfd or a disarmed timerfd sleeps, as the
// kernel's does: under 0.05 processor-seconds of this thread (a resource figure).
void waits_that_sleep() {
  const int e = eventfd(0, 0);
  const int t = timerfd_create(CLOCK_MONOTONIC, 0);
  const int ep = epoll_create1(0);
  epoll_event ev{EPOLLIN, {.u32 = 1}};
  epoll_ctl(ep, EPOLL_CTL_ADD, t, &ev);
  const auto measure = [](const char* what, const std::function<int()>& wait) {
    const double before = thread_cpu_seconds();
    const int n = wait();
    const double used = thread_cpu_seconds() - before;
    say(what, n, used < 0.05 ? "under 0.05 CPU-seconds" : "used " + std::to_string(used));
  };
  measure("poll 1 s on an eventfd", [e] {
    pollfd p{e, POLLIN, 0};
    return poll(&p, 1, 1000);
  });
  measure("epoll_wait 1 s on a timerfd", [ep] {
    epoll_event out{};
    return epoll_wait(ep, &out, 1, 1000);
  });
  measure("select 1 s on both", [e, t] {
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(e, &rd);
    FD_SET(t, &rd);
    timeval second{1, 0};
    return select(std::max(e, t) + 1, &rd, nullptr, nullptr, &second);
  });
  close(ep);
  close(t);
  close(e);
}

int wake_fd = -1;
void write_wake(int) { write_u64(wake_fd, 1); }

// A handler that writes to the eventfd its own thread is waiting on, the usual wake-up:
// the wait ends with the handler's count.
void handler_wakes_its_thread() {
  wake_fd = eventfd(0, 0);
  struct sigaction sa {};
  sa.sa_handler = write_wake;
  sa.sa_flags = SA_RESTART;
  sigaction(SIGUSR2, &sa, nullptr);
  const pthread_t self = pthread_self();
  std::atomic<bool> done{false};
  std::thread other([self, &done] {
    for (int i = 0; i < 20 && !done; ++i) {
      sleep_ms(100);
      pthread_kill(self, SIGUSR2);
    }
  });
  uint64_t v = 0;
  const long n = read_u64(wake_fd, &v);
  done = true;
  other.join();
  say("read woken by its own handler", n, v > 0 ? "counted" : "nothing");
  pollfd p{wake_fd, POLLIN, 0};
  while (poll(&p, 1, 0) == 1) read_u64(wake_fd, &v);
  done = false;
  std::thread again([self, &done] {
    for (int i = 0; i < 20 && !done; ++i) {
      sleep_ms(100);
      pthread_kill(self, SIGUSR2);
    }
  });
  p.revents = 0;
  int ready = 0;
  do ready = poll(&p, 1, 5000);  // poll is never restarted after a handler
  while (ready < 0 && errno == EINTR);
  done = true;
  again.join();
  say("poll woken by its own handler", ready, p.revents & POLLIN ? "POLLIN" : "none");
  signal(SIGUSR2, SIG_DFL);
  close(wake_fd);
}

// The kernel object, as a forked child sees it: the parent's writes and arming, and the
// child's writes for the parent.
void fork_child() {
  const int e = eventfd(0, EFD_NONBLOCK);
  const int t = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK);
  write_u64(e, 4);
  itimerspec shot = spec_ms(50, 0);
  timerfd_settime(t, 0, &shot, nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    uint64_t v = 0;
    const long n = read_u64(e, &v);
    pollfd p{t, POLLIN, 0};
    const int timer = poll(&p, 1, 2000);
    uint64_t count = 0;
    const long tn = read_u64(t, &count);
    write_u64(e, 11);
    _exit(n == 8 && v == 4 && timer == 1 && tn == 8 && count == 1 ? 0 : 1);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  say("child read 4 and the timer", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  poll_case("poll after the child's write", e, POLLIN, 0);
  read_case("read the child's write", e);
  read_case("read the timer the child took", t);
  close(t);
  close(e);
}

// Socket calls on the emulated kinds, and timer calls on other kinds.
void wrong_kinds(int port) {
  const int e = eventfd(0, EFD_NONBLOCK);
  const int t = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK);
  sockaddr_in a = peer_addr;
  a.sin_port = htons(uint16_t(port));
  auto* sa = reinterpret_cast<sockaddr*>(&a);
  socklen_t len = sizeof a;
  int v = 1;
  socklen_t vlen = sizeof v;
  char buf[8] = {};
  for (const auto& [kind, fd] : {std::pair{"eventfd", e}, std::pair{"timerfd", t}}) {
    const std::string k = kind;
    say(k + " connect", connect(fd, sa, sizeof a));
    say(k + " bind", bind(fd, sa, sizeof a));
    say(k + " listen", listen(fd, 5));
    say(k + " accept", accept(fd, nullptr, nullptr));
    say(k + " accept4", accept4(fd, nullptr, nullptr, 0));
    say(k + " shutdown", shutdown(fd, SHUT_RDWR));
    say(k + " getsockname", getsockname(fd, sa, &len));
    say(k + " getpeername", getpeername(fd, sa, &len));
    say(k + " getsockopt", getsockopt(fd, SOL_SOCKET, SO_TYPE, &v, &vlen));
    say(k + " setsockopt", setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &v, sizeof v));
    say(k + " send", long(send(fd, buf, sizeof buf, 0)));
    say(k + " sendto", long(sendto(fd, buf, sizeof buf, 0, sa, sizeof a)));
    say(k + " recv", long(recv(fd, buf, sizeof buf, 0)));
    say(k + " recvfrom", long(recvfrom(fd, buf, sizeof buf, 0, nullptr, nullptr)));
  }
  itimerspec one = spec_ms(100, 0);
  itimerspec cur{};
  const int s = connected_udp(port, SOCK_NONBLOCK);
  say("timerfd_settime on an eventfd", timerfd_settime(e, 0, &one, nullptr));
  say("timerfd_gettime on an eventfd", timerfd_gettime(e, &cur));
  say("timerfd_settime on a udp socket", timerfd_settime(s, 0, &one, nullptr));
  say("timerfd_gettime on a udp socket", timerfd_gettime(s, &cur));
  eventfd_t value = 0;
  say("eventfd_read on a timerfd", eventfd_read(t, &value));
  say("eventfd_write on a timerfd", eventfd_write(t, 1));
  say("write on a timerfd", write_u64(t, 1));
  say("eventfd_read on a udp socket", eventfd_read(s, &value));
  close(s);
  close(t);
  close(e);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s ADDR PORT\n", argv[0]);
    return 2;
  }
  peer_addr.sin_family = AF_INET;
  inet_pton(AF_INET, argv[1], &peer_addr.sin_addr);
  const int port = atoi(argv[2]);
  eventfd_counts();
  eventfd_blocking();
  signals();
  timer_counts();
  timer_settings();
  timer_blocking();
  beside_sockets(port);
  duplicates();
  vector_calls();
  other_waits();
  fork_child();
  wrong_kinds(port);
  waits_that_sleep();
  handler_wakes_its_thread();
  return 0;
}
