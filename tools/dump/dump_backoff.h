// The idle wait of every zorv_dump loop: spin with a pause instruction first, then
// sleep briefly between bursts of spins, and after long idleness sleep 10 ms per poll.
// Any progress restores the fast polling. Owned by one thread each.
#pragma once

namespace zdump {

struct backoff {
  int spin_reload = 1000;
  int spins_left = 1000;
  int short_sleep_us = 100;
  int cycles_reload = 1000;
  int cycles_left = 1000;
  int long_sleep_us = 10000;
};

void backoff_reset(backoff* b);
// One idle poll.
void backoff_step(backoff* b);

}  // namespace zdump
