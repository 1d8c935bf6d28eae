// The monitor thread: every 10 ms one pass over the descriptor table and the closed
// connections still delivering their data.
#pragma once

namespace kvel {

void start_monitor();
// Stops and joins the thread, only in the process that started it: a forked child has
// no monitor thread of its own and exits without waiting.
void stop_monitor();

}  // namespace kvel
