// The monitor thread: every 10 ms one pass over the closed connections still delivering
// their data. The receive, send and readiness paths read a connection's state from the
// card themselves, so the thread marks no record.
#pragma once

namespace kvel {

void start_monitor();
// Stops and joins the thread, only in the process that started it: a forked child has
// no monitor thread of its own and exits without waiting.
void stop_monitor();

}  // namespace kvel
