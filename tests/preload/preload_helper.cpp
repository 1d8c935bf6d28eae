// A small program that the preload tests run with and without a preload library: each
// mode exercises one behaviour and prints what a test compares.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern "C" {
ssize_t __recv_chk(int fd, void* buf, size_t len, size_t buflen, int flags);
ssize_t __recvfrom_chk(int fd, void* buf, size_t len, size_t buflen, int flags, sockaddr* src,
                       socklen_t* addrlen);
ssize_t __read_chk(int fd, void* buf, size_t count, size_t buflen);
int __poll_chk(pollfd* fds, nfds_t nfds, int timeout, size_t fdslen);
int __ppoll_chk(pollfd* fds, nfds_t nfds, const timespec* timeout, const sigset_t* sigmask,
                size_t fdslen);
}

namespace {

void report(const char* what, long result) {
  printf("%s %ld %s\n", what, result, result < 0 ? strerror(errno) : "ok");
}

// An address the compiler cannot see through: the calls must reach the kernel.
volatile uintptr_t bogus_address = 8;
void* bogus() { return reinterpret_cast<void*>(bogus_address); }

int udp_socket() { return socket(AF_INET, SOCK_DGRAM, 0); }

// Calls whose pointers the kernel refuses with EFAULT: tracing must not crash on them.
int bad_pointers() {
  int s = udp_socket();
  int u = socket(AF_UNIX, SOCK_STREAM, 0);
  int v = 0;
  report("getsockopt-null-optlen", getsockopt(s, SOL_SOCKET, SO_TYPE, &v, nullptr));
  report("getsockopt-bad-optlen", getsockopt(u, SOL_SOCKET, SO_TYPE, &v,
                                             static_cast<socklen_t*>(bogus())));
  report("setsockopt-bad-optval", setsockopt(s, SOL_SOCKET, SO_RCVBUF, bogus(), 4));
  report("recvmsg-bad-msg", recvmsg(s, static_cast<msghdr*>(bogus()), MSG_DONTWAIT));
  msghdr msg{};
  msg.msg_iov = static_cast<iovec*>(bogus());
  msg.msg_iovlen = 3;
  report("sendmsg-bad-iov", sendmsg(u, &msg, 0));
  report("readv-bad-iov", readv(s, static_cast<iovec*>(bogus()), 2));
  report("writev-bad-iov", writev(u, static_cast<iovec*>(bogus()), 2));
  char buf[16];
  report("recvfrom-bad-addrlen", recvfrom(s, buf, sizeof buf, MSG_DONTWAIT,
                                          static_cast<sockaddr*>(bogus()),
                                          static_cast<socklen_t*>(bogus())));
  report("pipe-bad", pipe(static_cast<int*>(bogus())));
  report("ioctl-fionbio-bad", ioctl(s, FIONBIO, bogus()));
  report("ioctl-fionbio-null", ioctl(u, FIONBIO, nullptr));
  close(s);
  close(u);
  return 0;
}

// Descriptors outside the table: negative ones, and sockets numbered 1024 and above.
int odd_descriptors() {
  char buf[4];
  for (int fd : {-1, -1000, 1023, 5000}) {
    printf("fd %d:\n", fd);
    report(" read", read(fd, buf, sizeof buf));
    report(" write-0", write(fd, buf, 0));
    report(" close", close(fd));
    report(" fcntl", fcntl(fd, F_GETFL));
    sockaddr_in a{};
    socklen_t len = sizeof a;
    report(" getsockname", getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len));
  }
  rlimit lim{4096, 4096};
  setrlimit(RLIMIT_NOFILE, &lim);
  std::vector<int> fill;
  while (fill.empty() || fill.back() < 1030) fill.push_back(open("/dev/null", O_RDONLY));
  int s = udp_socket();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  printf("high socket above 1023: %d\n", s > 1023);
  report("high bind", bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a));
  report("high getsockname", getsockname(s, reinterpret_cast<sockaddr*>(&a), &len));
  report("high sendto", sendto(s, "x", 1, 0, reinterpret_cast<sockaddr*>(&a), len));
  report("high recv", recv(s, buf, sizeof buf, 0));
  report("high close", close(s));
  report("high close again", close(s));
  for (int fd : fill) close(fd);
  return 0;
}

// The fortified entry points: a size that fits passes, one byte more ends the process.
int fortified(const std::string& which, size_t extra) {
  int p[2];
  if (pipe(p) != 0) return 2;
  write(p[1], "abcd", 4);
  char buf[8];
  pollfd pfd{p[0], POLLIN, 0};
  timespec zero{0, 0};
  int s = udp_socket();
  if (which == "read") report("__read_chk", __read_chk(p[0], buf, 4 + extra, 4));
  if (which == "recv") report("__recv_chk", __recv_chk(s, buf, 4 + extra, 4, MSG_DONTWAIT));
  if (which == "recvfrom")
    report("__recvfrom_chk", __recvfrom_chk(s, buf, 4 + extra, 4, MSG_DONTWAIT, nullptr, nullptr));
  if (which == "poll") report("__poll_chk", __poll_chk(&pfd, 1 + extra, 0, sizeof pfd));
  if (which == "ppoll")
    report("__ppoll_chk", __ppoll_chk(&pfd, 1 + extra, &zero, nullptr, sizeof pfd));
  return 0;
}

// Loopback drops datagrams when many threads flood its queue: no reply is no failure.
bool received_or_dropped(ssize_t n) { return n == 1 || (n < 0 && errno == EAGAIN); }

// Many threads open, use and close sockets at once, so that descriptor numbers are reused
// between threads all the time.
int socket_churn(int threads, int rounds) {
  std::atomic<int> failures{0};
  auto worker = [&] {
    for (int i = 0; i < rounds; ++i) {
      int s = socket(AF_INET, SOCK_DGRAM | (i % 2 ? SOCK_NONBLOCK : 0), 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t len = sizeof a;
      int one = 1, zero = 0;
      char c = 0;
      bool ok = s >= 0 && setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
                bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0 &&
                ioctl(s, FIONBIO, &zero) == 0 && fcntl(s, F_GETFL) >= 0 &&
                sendto(s, "x", 1, 0, reinterpret_cast<sockaddr*>(&a), len) == 1 &&
                received_or_dropped(recv(s, &c, 1, MSG_DONTWAIT)) && close(s) == 0;
      if (!ok) failures.fetch_add(1);
    }
  };
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) pool.emplace_back(worker);
  for (auto& t : pool) t.join();
  printf("churn failures %d\n", failures.load());
  return failures.load() == 0 ? 0 : 1;
}

// Children that exit normally (running the library's destructor) while the parent's
// threads keep working: none may hang.
int fork_exit(int children) {
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop) close(udp_socket());
  });
  int ok = 0;
  for (int i = 0; i < children; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      close(udp_socket());
      exit(7);
    }
    int st = 0;
    if (waitpid(pid, &st, 0) == pid && WIFEXITED(st) && WEXITSTATUS(st) == 7) ++ok;
  }
  stop = true;
  busy.join();
  pid_t pid = vfork();
  if (pid == 0) _exit(3);
  int st = 0;
  waitpid(pid, &st, 0);
  printf("fork children ok %d of %d, vfork status %d\n", ok, children, WEXITSTATUS(st));
  return ok == children ? 0 : 1;
}

int writes(long n) {
  int fd = open("/dev/null", O_WRONLY);
  for (long i = 0; i < n; ++i) write(fd, "", 0);
  return 0;
}

int fallback() {
  int u = socket(AF_UNIX, SOCK_STREAM, 0);
  int r = socket(AF_INET6, SOCK_DGRAM, 0);
  sockaddr_un a{};
  socklen_t len = sizeof a;
  report("unix getsockname", getsockname(u, reinterpret_cast<sockaddr*>(&a), &len));
  printf("fds %d %d\n", u, r);
  return 0;
}

// Closes the sockets that a library's constructor made before start-up.
int close_early() {
  const char* list = getenv("ZL_EARLY_FDS");
  if (list == nullptr) return 2;
  std::string text(list);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    report("close early", close(atoi(text.substr(at, end - at).c_str())));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  std::string mode = argc > 1 ? argv[1] : "";
  long arg = argc > 2 ? atol(argv[2]) : 0;
  if (mode == "bad-pointers") return bad_pointers();
  if (mode == "odd-descriptors") return odd_descriptors();
  if (mode == "fortified") return fortified(argc > 2 ? argv[2] : "", argc > 3 ? 1 : 0);
  if (mode == "churn") return socket_churn(int(arg), argc > 3 ? atoi(argv[3]) : 200);
  if (mode == "fork-exit") return fork_exit(int(arg));
  if (mode == "writes") return writes(arg);
  if (mode == "fallback") return fallback();
  if (mode == "close-early") return close_early();
  fprintf(stderr, "usage: preload_helper MODE [ARGS]\n");
  return 2;
}
