#include "daemon_options.h"

#include <unistd.h>

#include <cstdio>

namespace zorvd {

daemon_options parse_options(int argc, char** argv) {
  daemon_options o;
  opterr = 0;
  optind = 1;
  int c;
  while ((c = getopt(argc, argv, "fkhswtmg:")) != -1) {
    if (c == 's') o.tlp_hints = true;
    if (c == 'm') o.multiple = true;
    if (c == 'g') o.group = optarg;
    if (c == 'h' || c == '?') o.usage = true;
  }
  return o;
}

void print_usage() {
  puts("zorvnic_daemon <options> <kvel_??_?>\nExample: zorvnic_daemon kvel_03_0\nOptions:\n"
       "-f    Disable Layer2 filter for frames received by the HW-stack\n"
       "-k    Run in kernel Ethernet support mode (handling all zorvnics using kernel Ethernet "
       "driver, default)\n-g    Group whose members may get packet sockets (default zorvnic)\n"
       "-h    This help");
}

}  // namespace zorvd
