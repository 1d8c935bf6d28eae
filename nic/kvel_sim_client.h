// The simulator's side of the device-access layer: connecting to a simulator node and
// one request/reply exchange on such a connection (format in kvel_sim_proto.h). Every
// wait is bounded by kvel_dev_timeout_ms.
#pragma once
#include <cstdint>

#include "kvel_sim_proto.h"

namespace kvel {

struct sim_call {
  uint32_t op;
  uint64_t arg0 = 0, arg1 = 0, arg2 = 0;
  const void* in = nullptr;  // data sent with the request
  uint32_t in_len = 0;
  void* out = nullptr;   // where the reply's data goes
  uint32_t out_cap = 0;  // a reply with more data than this is malformed
};

struct sim_answer {
  int64_t result = -1;  // the simulator's verdict: -1 on failure, with err
  int err = 0;
  uint64_t value = 0;
  uint32_t out_len = 0;  // data bytes stored at out
  // Descriptors passed with the reply (close-on-exec), in the order sent; the caller
  // owns them.
  int fds[SIM_MAX_PASSED_FDS] = {-1, -1, -1};
  int fd_count = 0;
};

// CLOCK_MONOTONIC in milliseconds, the clock of the layer's deadlines.
int64_t sim_clock_ms();

// Closes the descriptors an answer brought.
void sim_close_passed(sim_answer* answer);

// A connected descriptor, or -1 with errno: ENOENT for a missing node, ENODEV when
// no simulator listens on it any more, ETIMEDOUT when it does not accept in time.
int sim_connect(const char* path);

// 0 once the simulator answered (its verdict in *answer), else -errno: ETIMEDOUT when
// no answer came in time, ENODEV when the simulator has gone, EPROTO for a reply that
// does not follow the format.
int sim_exchange(int fd, const sim_call& call, sim_answer* answer);

}  // namespace kvel
