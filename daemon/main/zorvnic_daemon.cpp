// zorvnic_daemon: brings every port of the card up as a Linux interface, keeps the card
// in step with what the host does with those interfaces, and hands packet sockets to
// processes that may not make them. Runs in the foreground until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <ctime>

#include "build_githash.h"
#include "daemon_options.h"
#include "instance_check.h"
#include "pf_packet_fd_server.h"
#include "port_table.h"

namespace {

// Written by the signal handler, read by the main loop between passes.
volatile sig_atomic_t daemon_running = 1;

void on_stop_signal(int) { daemon_running = 0; }

void install_stop_signals() {
  struct sigaction sa = {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

// A signal cuts the pause short; the pass after it still runs.
void pause_one_second() {
  const timespec second{1, 0};
  nanosleep(&second, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  // A supervisor or a test reading our output sees each message when it happens.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("zorvsock githash: %08X\n", kvel::build_githash());
  const zorvd::daemon_options opts = zorvd::parse_options(argc, argv);
  if (opts.usage) {
    zorvd::print_usage();
    return 1;
  }
  if (opts.multiple) {
    puts("Allowing multiple instances of zorvnic daemons to run.");
  } else if (zorvd::other_instance_running()) {
    puts("An instance of zorvnic_daemon is already running. Cannot run multiple instances.");
    return 1;
  }
  install_stop_signals();
  zorvd::pf_packet_fd_server server(opts.group);
  if (!server.running())
    puts("Couldn't start PF_PACKET inheritance unix socket, some zorvnic libraries may not work "
         "correctly!");
  zorvd::port_table ports;
  ports.bring_up_all(opts.tlp_hints);
  while (daemon_running) {
    pause_one_second();
    ports.monitor_all();
  }
  puts("Stopping zorvnic daemon normally");
  return 0;
}
