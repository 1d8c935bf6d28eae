// The command line of zorvnic_daemon.
#pragma once

namespace zorvd {

constexpr char DEFAULT_HANDOFF_GROUP[] = "zorvnic";

struct daemon_options {
  bool usage = false;      // -h or an unknown option: print the usage, status 1
  bool tlp_hints = false;  // -s
  bool multiple = false;   // -m: no single-instance check
  // -g: the group whose members, beside root, are handed packet sockets.
  const char* group = DEFAULT_HANDOFF_GROUP;
};

// getopt over "fkhswtmg:"; -f, -k, -t and -w are accepted and change nothing. A port
// name after the options is accepted too: every port of every device is served.
daemon_options parse_options(int argc, char** argv);

void print_usage();

}  // namespace zorvd
