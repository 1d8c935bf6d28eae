#include "diag.h"
#include "plain_output.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace kvel {

void diag_print(const char* source, const char* func, int line, const char* fmt, ...) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  // One buffered write per line, so lines of concurrent threads do not interleave.
  char buf[1024];
  int n = snprintf(buf, sizeof buf, "%02u:%06u %s:%s():%d ", unsigned(now.tv_sec % 60),
                   unsigned(now.tv_nsec), source, func, line);
  if (n < 0) return;
  if (size_t(n) < sizeof buf) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf + n, sizeof buf - size_t(n), fmt, ap);
    va_end(ap);
  }
  fputs(buf, kvel::plain_output());
  fflush(kvel::plain_output());
}

}  // namespace kvel
