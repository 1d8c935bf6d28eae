// pipe: the kernel's call, then the pair it made in the trace, read safely from the
// caller's array; records still on those numbers were closed behind the interposer.
#include "closed_behind.h"
#include "handlers.h"
#include "real_calls.h"
#include "trace_log.h"

using namespace kvel;

extern "C" int vyx_pipe(int fds[2]) {
  const int result = real_pipe(fds);
  int pair[2];
  if (!read_caller_memory(pair, fds, sizeof pair)) return result;
  trace_line("pipe", "Pipe [%d, %d]\n", pair[0], pair[1]);
  if (result == 0) {
    forget_closed_behind(pair[0]);
    forget_closed_behind(pair[1]);
  }
  return result;
}
