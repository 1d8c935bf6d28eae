// The command line of zorvnic_daemon.
#pragma once

namespace zorvd {

struct daemon_options {
  bool usage = false;      // -h or an unknown option: print the usage, status 1
  bool tlp_hints = false;  // -s
  bool multiple = false;   // -m: no single-instance check
};

// getopt over "fkhswtm"; -f, -k, -t and -w are accepted and change nothing. A port name
// after the options is accepted too: every port of every device is served.
daemon_options parse_options(int argc, char** argv);

void print_usage();

}  // namespace zorvd
