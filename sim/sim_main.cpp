// zorvnic_sim: the card and its kernel driver, simulated.
//   zorvnic_sim --config FILE [--wire-netns PATH] [--carrier-on] [--ctl SOCKPATH]
//   zorvnic_sim ctl [--ctl SOCKPATH] COMMAND ARGS...   ("ctl help" lists the commands)
// Runs in the foreground until SIGINT or SIGTERM and removes its nodes on the way out.
#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "sim_card.h"
#include "sim_clock.h"
#include "sim_ctl.h"
#include "sim_datapath.h"
#include "sim_link.h"
#include "sim_proto_server.h"
#include "sim_unix.h"

namespace zsim {
namespace {

struct options {
  std::string config;
  std::string wire_netns;
  std::string ctl;
  bool carrier_on = false;
};

int usage() {
  fputs(
      "usage: zorvnic_sim --config FILE [--wire-netns PATH] [--carrier-on] [--ctl SOCKPATH]\n"
      "       zorvnic_sim ctl [--ctl SOCKPATH] COMMAND ARGS...   (\"ctl help\" lists them)\n",
      stderr);
  return 1;
}

bool parse_options(int argc, char** argv, options* opt) {
  opt->ctl = default_ctl_path();
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--carrier-on") {
      opt->carrier_on = true;
      continue;
    }
    std::string* value = arg == "--config"       ? &opt->config
                         : arg == "--wire-netns" ? &opt->wire_netns
                         : arg == "--ctl"        ? &opt->ctl
                                                 : nullptr;
    if (!value || i + 1 >= argc) return false;
    *value = argv[++i];
  }
  return !opt->config.empty();
}

int fail(const std::string& what) {
  fprintf(stderr, "zorvnic_sim: %s\n", what.c_str());
  return 1;
}

// Every connection and memfd is a descriptor; the default soft limit is too low for
// tests that open many handles.
void raise_descriptor_limit() {
  rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

// The control socket, removed again when the simulator ends.
struct ctl_socket {
  std::string path;
  int fd = -1;
  ~ctl_socket() {
    if (fd < 0) return;
    close(fd);
    unlink(path.c_str());
  }
};

struct descriptor {
  int fd = -1;
  ~descriptor() {
    if (fd >= 0) close(fd);
  }
};

int run(const options& opt) {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);  // inherited by every thread
  signal(SIGPIPE, SIG_IGN);
  raise_descriptor_limit();

  sim_config config;
  std::string error;
  if (!load_config(opt.config, &config, &error)) return fail(error);
  descriptor netns;
  if (!opt.wire_netns.empty() &&
      (netns.fd = open(opt.wire_netns.c_str(), O_RDONLY | O_CLOEXEC)) < 0)
    return fail(opt.wire_netns + ": " + strerror(errno));
  sim_card card;
  if (!card_build(config, &card, &error) ||
      !card_open_taps(&card, netns.fd, opt.carrier_on, &error))
    return fail(error);
  for (sim_port* port : card.ports) link_update(card, *port);

  sim_proto_server server(card);
  if (!server.open_nodes(&error)) return fail(error);
  ctl_socket ctl{opt.ctl};
  if ((ctl.fd = unix_listen(opt.ctl, SOCK_STREAM, &error)) < 0) return fail(error);
  descriptor stop;
  if ((stop.fd = eventfd(0, EFD_CLOEXEC)) < 0)
    return fail(std::string("eventfd: ") + strerror(errno));

  std::vector<std::thread> threads;
  threads.emplace_back(clock_run, std::ref(card));
  threads.emplace_back(link_run, std::ref(card));
  threads.emplace_back(datapath_run, std::ref(card));
  threads.emplace_back([&] { server.run(stop.fd); });
  threads.emplace_back([&] { ctl_run(card, ctl.fd, stop.fd); });
  printf("zorvnic_sim: ready, %zu device(s), %zu port(s)\n", card.devices.size(),
         card.ports.size());
  fflush(stdout);

  int sig;
  sigwait(&stop_signals, &sig);
  card.stopping = true;
  uint64_t one = 1;
  if (write(stop.fd, &one, sizeof one) < 0) perror("zorvnic_sim: stop");
  for (std::thread& t : threads) t.join();
  return 0;
}

}  // namespace
}  // namespace zsim

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "ctl") == 0) return zsim::ctl_client_main(argc - 2, argv + 2);
  zsim::options opt;
  if (!zsim::parse_options(argc, argv, &opt)) return zsim::usage();
  return zsim::run(opt);
}
