// "zorvnic_sim ctl": sends one command to a running simulator and prints its answer,
// on standard output after success and on standard error after a failure.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim_ctl.h"
#include "sim_unix.h"

namespace zsim {
namespace {

// Longer than any stall, which holds back device replies but never control ones.
constexpr int ANSWER_TIMEOUT_S = 20;
constexpr size_t MAX_ANSWER = 16 << 20;

int usage() {
  fputs("usage: zorvnic_sim ctl [--ctl SOCKPATH] COMMAND ARGS...\n", stderr);
  return 1;
}

}  // namespace

int ctl_client_main(int argc, char** argv) {
  std::string path = default_ctl_path();
  int i = 0;
  if (i < argc && strcmp(argv[i], "--ctl") == 0) {
    if (i + 1 >= argc) return usage();
    path = argv[i + 1];
    i += 2;
  }
  if (i >= argc) return usage();
  std::string command = argv[i];
  while (++i < argc) command += std::string(" ") + argv[i];
  int fd = unix_connect(path, SOCK_STREAM);
  if (fd < 0) {
    fprintf(stderr, "zorvnic_sim ctl: cannot connect to %s: %s\n", path.c_str(), strerror(errno));
    return 1;
  }
  std::string answer;
  bool talked = unix_send_all(fd, command, ANSWER_TIMEOUT_S) && shutdown(fd, SHUT_WR) == 0 &&
                unix_recv_all(fd, &answer, MAX_ANSWER, ANSWER_TIMEOUT_S) && !answer.empty();
  close(fd);
  if (!talked) {
    fprintf(stderr, "zorvnic_sim ctl: no answer from %s\n", path.c_str());
    return 1;
  }
  bool ok = answer[0] == '0';
  fprintf(ok ? stdout : stderr, "%s\n", answer.c_str() + 1);
  return ok ? 0 : 1;
}

}  // namespace zsim
