#include "dump_backoff.h"

#include <immintrin.h>
#include <sched.h>
#include <unistd.h>

namespace zdump {

void backoff_reset(backoff* b) {
  b->spins_left = b->spin_reload;
  b->cycles_left = b->cycles_reload;
}

void backoff_step(backoff* b) {
  if (b->spins_left > 0) {
    _mm_pause();
    --b->spins_left;
    return;
  }
  sched_yield();
  if (b->cycles_left > 0) {
    if (b->short_sleep_us > 0) usleep(useconds_t(b->short_sleep_us));
    --b->cycles_left;
    b->spins_left = b->spin_reload;
    return;
  }
  usleep(useconds_t(b->long_sleep_us));
}

}  // namespace zdump
