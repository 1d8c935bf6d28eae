// The descriptor slots. libzorvload: one holder at a time whichever way each thread
// comes in (as the slot's owner without the mutex, through the mutex from another thread,
// a pause between polls, the readiness sweep's try), the owner
// passing from thread to thread. libzorvload_unsafe: close returns the record only once
// no call is inside. Both: a forked child whose other threads are gone.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "fd_lock.h"

namespace kvel {
namespace {

using namespace std::chrono_literals;

// Plain fields on purpose: two holders at once lose increments or see each other's mark
// (and the thread sanitizer build reports the race).
struct guarded {
  int holder = 0;
  long count = 0;  // the calls' visits
  bool overlap = false;

  void visit(int who) {
    if (holder != 0) overlap = true;
    holder = who;
    std::this_thread::yield();  // a wide window for another holder to show
    if (holder != who) overlap = true;
    ++count;
    holder = 0;
  }
};

guarded shared_state;
constexpr int lock_fd = 7;

struct slot_fixture : ::testing::Test {
  socket_record record{};
  void SetUp() override {
    shared_state = guarded{};
    assign_fd_slot(&record, lock_fd);
  }
  void TearDown() override {
    if (claim_slot(lock_fd)) take_record_for_close(lock_fd);
  }
};

#if !ZORVLOAD_UNSAFE
// Every way in, from five threads at once: no two holders, no lost count.
TEST_F(slot_fixture, one_holder_whichever_way_each_thread_comes) {
  constexpr int rounds = 1500;
  std::atomic<long> expected{0};
  std::vector<std::thread> threads;
  for (int t = 1; t <= 4; ++t) {
    threads.emplace_back([t, &expected] {
      for (int i = 0; i < rounds; ++i) {
        ASSERT_TRUE(claim_slot(lock_fd));
        shared_state.visit(t);
        if (i % 7 == 0) {  // a blocking call's pause between two polls
          ASSERT_TRUE(pause_slot(lock_fd, slot_generation(lock_fd)));
          shared_state.visit(t);
          expected.fetch_add(1);
        }
        release_slot(lock_fd);
        expected.fetch_add(1);
      }
    });
  }
  threads.emplace_back([&expected] {
    for (int i = 0; i < rounds; ++i) {
      if (try_claim_slot(lock_fd) != slot_claim::claimed) continue;
      shared_state.visit(5);
      release_slot(lock_fd);
      expected.fetch_add(1);
    }
  });
  for (auto& t : threads) t.join();
  ASSERT_TRUE(claim_slot(lock_fd));
  EXPECT_FALSE(shared_state.overlap);
  EXPECT_EQ(shared_state.count, expected.load());
  release_slot(lock_fd);
}

// A thread that holds the slot as its owner keeps the others out until it leaves: the
// sweep's try reports it busy, a claim waits.
TEST_F(slot_fixture, owner_inside_keeps_others_out_until_it_leaves) {
  std::atomic<int> step{0};
  std::thread owner([&step] {
    ASSERT_TRUE(claim_slot(lock_fd));
    release_slot(lock_fd);  // now the owner: the next claim takes no mutex
    ASSERT_TRUE(claim_slot(lock_fd));
    step = 1;
    while (step.load() != 2) std::this_thread::yield();
    shared_state.visit(1);
    release_slot(lock_fd);
  });
  while (step.load() != 1) std::this_thread::yield();
  EXPECT_EQ(try_claim_slot(lock_fd), slot_claim::busy);
  std::atomic<bool> got{false};
  std::thread waiter([&got] {
    ASSERT_TRUE(claim_slot(lock_fd));
    got = true;
    shared_state.visit(2);
    release_slot(lock_fd);
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(got.load());
  step = 2;
  owner.join();
  waiter.join();
  EXPECT_TRUE(got.load());
  EXPECT_EQ(shared_state.count, 2);
  EXPECT_FALSE(shared_state.overlap);
}

// Close from another thread than the owner takes the record; no claim finds it after.
TEST_F(slot_fixture, close_by_another_thread_empties_the_owned_slot) {
  std::thread owner([] {
    ASSERT_TRUE(claim_slot(lock_fd));
    release_slot(lock_fd);
  });
  owner.join();
  ASSERT_TRUE(claim_slot(lock_fd));
  EXPECT_EQ(take_record_for_close(lock_fd), &record);
  EXPECT_FALSE(claim_slot(lock_fd));
  std::thread later([] { EXPECT_FALSE(claim_slot(lock_fd)); });
  later.join();
}

#else
// A read the compiler keeps.
void keep_read(const uint8_t& field) { asm volatile("" : : "r"(field)); }

// Close from another thread waits until a call inside has left: what the call wrote is
// there when close returns.
TEST_F(slot_fixture, close_waits_for_the_call_inside) {
  std::atomic<int> step{0};
  std::thread call([&step] {
    ASSERT_TRUE(claim_slot(lock_fd));
    step = 1;
    while (step.load() != 2) std::this_thread::yield();
    shared_state.visit(1);
    release_slot(lock_fd);
  });
  while (step.load() != 1) std::this_thread::yield();
  std::atomic<bool> closed{false};
  long seen = -1;
  std::thread closer([&] {
    ASSERT_TRUE(claim_slot(lock_fd));
    EXPECT_EQ(take_record_for_close(lock_fd), &record);
    closed = true;
    seen = shared_state.count;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(closed.load());
  step = 2;
  call.join();
  closer.join();
  EXPECT_EQ(seen, 1);
}

// Calls from several threads, some inside a second slot already (counted, not marked),
// while another thread closes: once close has returned, no call reads the record (the
// thread sanitizer build sees the write after close against any such read).
TEST_F(slot_fixture, no_call_reads_the_record_after_close) {
  socket_record other{};
  assign_fd_slot(&other, lock_fd + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, this] {
      for (;;) {
        const bool nested = t % 2 == 1 && claim_slot(lock_fd + 1);
        if (!claim_slot(lock_fd)) {
          if (nested) release_slot(lock_fd + 1);
          return;
        }
        keep_read(record.kind);
        release_slot(lock_fd);
        if (nested) release_slot(lock_fd + 1);
      }
    });
  }
  std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(claim_slot(lock_fd));
  socket_record* taken = take_record_for_close(lock_fd);
  ASSERT_EQ(taken, &record);
  taken->kind = 99;  // as a free would
  for (auto& t : threads) t.join();
  ASSERT_TRUE(claim_slot(lock_fd + 1));
  take_record_for_close(lock_fd + 1);
}
#endif

#if !defined(__SANITIZE_THREAD__)
// Forking while another thread is inside the slot: the child, which has only the forking
// thread, gets the slot and closes it.
TEST_F(slot_fixture, forked_child_takes_a_slot_whose_owner_was_inside) {
  std::atomic<int> step{0};
  std::thread owner([&step] {
    ASSERT_TRUE(claim_slot(lock_fd));
    release_slot(lock_fd);
    ASSERT_TRUE(claim_slot(lock_fd));
    step = 1;
    while (step.load() != 2) std::this_thread::yield();
    release_slot(lock_fd);
  });
  while (step.load() != 1) std::this_thread::yield();
  const pid_t child = fork();
  if (child == 0) {
    reset_locks_after_fork();
    alarm(10);
    if (!claim_slot(lock_fd)) _exit(1);
    _exit(take_record_for_close(lock_fd) == &record ? 0 : 2);
  }
  step = 2;
  owner.join();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}
#endif

}  // namespace
}  // namespace kvel
