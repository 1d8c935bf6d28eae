#include "sim_ctl.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "sim_parse.h"
#include "sim_unix.h"

namespace zsim {
namespace {

constexpr size_t MAX_COMMAND = 4096;
constexpr int CLIENT_TIMEOUT_S = 2;  // a client that neither sends nor reads is dropped

void serve_one(sim_card& card, int fd) {
  std::string text;
  ctl_reply reply = unix_recv_all(fd, &text, MAX_COMMAND, CLIENT_TIMEOUT_S)
                        ? ctl_execute(card, split_words(text))
                        : ctl_reply{false, "command too long or incomplete"};
  unix_send_all(fd, (reply.ok ? "0" : "1") + reply.text, CLIENT_TIMEOUT_S);
}

}  // namespace

std::string default_ctl_path() {
  const char* env = getenv("ZORV_SIM_CTL");
  return env && *env ? env : "/tmp/zorvnic_sim.ctl";
}

void ctl_run(sim_card& card, int listen_fd, int stop_fd) {
  pollfd fds[2] = {{listen_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    serve_one(card, fd);
    close(fd);
  }
}

}  // namespace zsim
