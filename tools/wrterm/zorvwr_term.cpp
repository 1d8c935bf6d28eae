// zorvwr_term DEVICE: a terminal for the card's serial console. What is typed goes to
// the console, what the console sends is shown, until C-a or the end of standard input.
// Standard input is used in whatever mode it is in (no terminal settings change), so on
// an ordinary terminal a line, and C-a, arrive when Enter is pressed.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console_block.h"
#include "term_loop.h"

namespace {

// A standard descriptor that is closed would be taken by the device's descriptor, and
// the terminal would then read or write its own device: /dev/null holds the place, so a
// closed standard input reads as its end.
bool hold_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int held = open("/dev/null", O_RDWR);
    if (held != fd) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!hold_standard_descriptors()) return 1;
  if (argc != 2) {
    fputs("usage: zorvwr_term DEVICE\n", stderr);
    return 1;
  }
  wrterm::console_block* console = wrterm::open_console(argv[1], wrterm::CONSOLE_BLOCK_TYPE);
  if (!console) {
    fprintf(stderr, "Error opening zorvwr: %s\n", strerror(errno));
    return 1;
  }
  fputs("[press C-a to exit]\n", stderr);
  int status = wrterm::term_run(console);
  wrterm::close_console(console);
  return status;
}
