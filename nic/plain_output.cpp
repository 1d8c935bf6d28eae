#include "plain_output.h"

#include <atomic>

namespace kvel {

namespace {

// Written once at the preload library's start-up, read by any thread that prints.
std::atomic<bool> to_stderr{false};

}  // namespace

void plain_output_to_stderr() { to_stderr.store(true, std::memory_order_relaxed); }

FILE* plain_output() { return to_stderr.load(std::memory_order_relaxed) ? stderr : stdout; }

int plain_output_fd() { return to_stderr.load(std::memory_order_relaxed) ? 2 : 1; }

}  // namespace kvel
