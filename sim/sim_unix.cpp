#include "sim_unix.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zsim {
namespace {

bool make_address(const std::string& path, sockaddr_un* addr) {
  *addr = {};
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr->sun_path) return false;
  memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Removes a socket file left behind by a process that has gone.
bool clear_stale(const std::string& path, int type, std::string* error) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return true;
  if (!S_ISSOCK(st.st_mode)) {
    *error = path + " exists and is not a socket";
    return false;
  }
  int probe = unix_connect(path, type);
  if (probe >= 0) {
    close(probe);
    *error = path + " is in use by a running simulator";
    return false;
  }
  unlink(path.c_str());
  return true;
}

void set_timeout(int fd, int option, int seconds) {
  timeval tv{seconds, 0};
  setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

int unix_connect(const std::string& path, int type) {
  sockaddr_un addr;
  if (!make_address(path, &addr)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  int err = errno;
  close(fd);
  errno = err;
  return -1;
}

int unix_listen(const std::string& path, int type, std::string* error) {
  sockaddr_un addr;
  if (!make_address(path, &addr)) {
    *error = path + ": path too long";
    return -1;
  }
  if (!clear_stale(path, type, error)) return -1;
  int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (bound && chmod(path.c_str(), 0666) == 0 && listen(fd, 128) == 0) return fd;
  *error = path + ": " + strerror(errno);
  if (bound) unlink(path.c_str());
  if (fd >= 0) close(fd);
  return -1;
}

bool unix_send_all(int fd, const std::string& text, int timeout_s) {
  set_timeout(fd, SO_SNDTIMEO, timeout_s);
  for (size_t done = 0; done < text.size();) {
    ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

bool unix_recv_all(int fd, std::string* text, size_t max, int timeout_s) {
  set_timeout(fd, SO_RCVTIMEO, timeout_s);
  char buf[4096];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n == 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    text->append(buf, size_t(n));
    if (text->size() > max) return false;
  }
}

}  // namespace zsim
