#include "sim_clock.h"

#include <sys/prctl.h>

#include <chrono>
#include <ctime>

namespace zsim {
namespace {

// How often the time pages are refreshed while a descriptor holds a time module:
// reads stay within about 0.2 ms of the host clock, at some 10000 wake-ups a second.
constexpr long REFRESH_NS = 100000;
// ... and while none does (a mapping may outlive its descriptor): nearly free.
constexpr auto IDLE_REFRESH = std::chrono::milliseconds(5);
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
    if (card.time_users > 0) {
      clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
      continue;
    }
    std::unique_lock<std::mutex> lock(card.clock_mutex);
    card.clock_wake.wait_for(lock, IDLE_REFRESH, [&] { return card.time_users > 0; });
  }
}

}  // namespace zsim
