// Start-up of the preload library: the C library's functions bound, tracing set up.
#pragma once
#include <atomic>

namespace kvel {

extern std::atomic<int> init_done;

// Runs the start-up exactly once. A thread that comes while another runs it waits for
// the end; a call from within the start-up itself returns at once.
void init_interposer();

inline void ensure_started() {
  if (init_done.load(std::memory_order_acquire) == 0) init_interposer();
}

}  // namespace kvel
