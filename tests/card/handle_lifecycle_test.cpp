// Acquiring and releasing handles leaves nothing behind: no descriptor, mapping or
// thread, whatever the handle went through.
#include <gtest/gtest.h>

#include "process_resources.h"
#include "test_support.h"
#include "zorvsock.h"
#include "zorvsock_handle.h"

namespace {

using zt::expect_same_resources;
using zt::process_resources;

TEST(HandleLifecycle, FreshHandleLeavesNothing) {
  zorvsock_release_handle(zorvsock_acquire_handle());  // first-use allocations settle
  process_resources before;
  for (int i = 0; i < 50; ++i) zorvsock_release_handle(zorvsock_acquire_handle());
  expect_same_resources(before);
}

TEST(HandleLifecycle, OpenedTimeObjectIsReleased) {
  ZT_REQUIRE_LAUNCHED();
  zorvsock_handle* warm = zorvsock_acquire_handle();
  ASSERT_EQ(zorvsock_time_open(warm, "kvel0"), 0);
  zorvsock_release_handle(warm);
  process_resources before;
  for (int i = 0; i < 20; ++i) {
    zorvsock_handle* h = zorvsock_acquire_handle();
    ASSERT_EQ(zorvsock_time_open(h, "kvel0"), 0);
    ASSERT_EQ(zorvsock_time_open(h, "kvel0.7"), 0) << "a second open replaces the first";
    EXPECT_NE(zorvsock_time_get(h), 0u);
    zorvsock_release_handle(h);
  }
  expect_same_resources(before);
}

TEST(HandleLifecycle, FailedTimeOpenKeepsNothingOpen) {
  ZT_REQUIRE_LAUNCHED();
  process_resources before;
  zorvsock_handle* h = zorvsock_acquire_handle();
  EXPECT_EQ(zorvsock_time_open(h, "eth0"), -1);
  EXPECT_EQ(zorvsock_time_open(h, nullptr), -1);
  EXPECT_EQ(zorvsock_time_get(h), 0u) << "an unopened time object reads as 0";
  zorvsock_release_handle(h);
  expect_same_resources(before);
}

TEST(HandleLifecycle, CardTimeOfAnOpenedHandleIsNearTheHostClock) {
  ZT_REQUIRE_LAUNCHED();
  zorvsock_handle* h = zorvsock_acquire_handle();
  ASSERT_EQ(zorvsock_time_open(h, "kvel0"), 0);
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  int64_t host = int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
  int64_t card = int64_t(zorvsock_time_get(h));
  // The simulator's clock thread shares a loaded machine: allow it a scheduling delay.
  EXPECT_LT(std::llabs(card - host), 100000000) << "within 100 ms";
  zorvsock_release_handle(h);
}

TEST(HandleLifecycle, TxTimestampOfHandlesWithoutSession) {
  zorvsock_handle* h = zorvsock_acquire_handle();
  EXPECT_EQ(zorvsock_get_tx_timestamp(h, 0), 2u);
  h->kind = HANDLE_TCP_LISTEN;
  EXPECT_EQ(zorvsock_get_tx_timestamp(h, 0), 2u);
  h->kind = HANDLE_TCP_LISTENER;
  EXPECT_EQ(zorvsock_get_tx_timestamp(h, 0), 2u);
  zorvsock_release_handle(h);
}

TEST(HandleLifecycle, EnableTxTimestampingRoundsTheSize) {
  zorvsock_handle* h = zorvsock_acquire_handle();
  struct row { int asked; int result; int size; };
  const row rows[] = {{0, 0, 16384},         {100, 0, 16384},        {16384, 0, 16384},
                      {16385, 0, 32768},     {0x20000000, 0, 0x20000000},
                      {0x20000001, -14, 0x20000000}, {-1, -14, 0x20000000}};
  for (const row& r : rows) {
    EXPECT_EQ(zorvsock_enable_tx_timestamping(h, r.asked), r.result) << r.asked;
    EXPECT_EQ(h->tx_ts_entries, r.size) << r.asked;
  }
  EXPECT_EQ(zorvsock_enable_tx_timestamping(nullptr, 1), -22);
  zorvsock_release_handle(h);
}

}  // namespace
