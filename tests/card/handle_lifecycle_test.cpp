// Acquiring and releasing handles leaves nothing behind: no descriptor, mapping or
// thread, whatever the handle went through.
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

#include "test_support.h"
#include "zorvsock.h"
#include "zorvsock_handle.h"

namespace {

std::set<std::string> dir_entries(const char* path) {
  std::set<std::string> names;
  if (DIR* d = opendir(path)) {
    while (dirent* e = readdir(d)) names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

// Named mappings: every mapping of a device region has a name (its memfd or device
// node); anonymous ones and the heap move with ordinary allocation.
std::set<std::string> mappings() {
  std::set<std::string> lines;
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    auto path = line.find('/');
    if (path != std::string::npos) lines.insert(line);
  }
  return lines;
}

struct process_resources {
  std::set<std::string> fds = dir_entries("/proc/self/fd");
  std::set<std::string> maps = mappings();
  std::set<std::string> tasks = dir_entries("/proc/self/task");
};

void expect_same(const process_resources& before) {
  process_resources after;
  // The directory stream of the listing itself shows up in both fd sets alike.
  EXPECT_EQ(after.fds, before.fds);
  EXPECT_EQ(after.maps, before.maps);
  EXPECT_EQ(after.tasks, before.tasks);
}

TEST(HandleLifecycle, FreshHandleLeavesNothing) {
  zorvsock_release_handle(zorvsock_acquire_handle());  // first-use allocations settle
  process_resources before;
  for (int i = 0; i < 50; ++i) zorvsock_release_handle(zorvsock_acquire_handle());
  expect_same(before);
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
  expect_same(before);
}

TEST(HandleLifecycle, FailedTimeOpenKeepsNothingOpen) {
  ZT_REQUIRE_LAUNCHED();
  process_resources before;
  zorvsock_handle* h = zorvsock_acquire_handle();
  EXPECT_EQ(zorvsock_time_open(h, "eth0"), -1);
  EXPECT_EQ(zorvsock_time_open(h, nullptr), -1);
  EXPECT_EQ(zorvsock_time_get(h), 0u) << "an unopened time object reads as 0";
  zorvsock_release_handle(h);
  expect_same(before);
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
