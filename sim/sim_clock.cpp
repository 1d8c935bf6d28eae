#include "sim_clock.h"

#include <sys/prctl.h>

#include <ctime>

namespace zsim {
namespace {

// How often the time pages are refreshed: reads stay well within a millisecond of the
// host clock, at a small cost in wake-ups.
constexpr long REFRESH_NS = 25000;
// The default slack (50 us) would stretch each sleep to several times its length.
constexpr long TIMER_SLACK_NS = 1000;

}  // namespace

uint64_t card_time_now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return uint64_t(now.tv_sec) << 32 | uint64_t(now.tv_nsec);
}

void clock_run(sim_card& card) {
  prctl(PR_SET_TIMERSLACK, TIMER_SLACK_NS);
  const timespec pause{0, REFRESH_NS};
  while (!card.stopping.load(std::memory_order_relaxed)) {
    uint64_t now = card_time_now();
    for (const auto& dev : card.devices) dev->time.set_reg(TIME_REG_NOW, now);
    clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
  }
}

}  // namespace zsim
