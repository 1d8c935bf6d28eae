// The descriptor slots of libzorvload: one holder at a time whichever way each thread
// comes in (as the slot's owner without the mutex, through the mutex from another thread,
// a pause between polls, the readiness sweep's try, the monitor's visit), the owner
// passing from thread to thread, and a forked child whose owner threads are gone.
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
  long count = 0;     // the calls' visits
  long monitor = 0;   // the monitor's
  bool overlap = false;

  void visit(int who) {
    if (holder != 0) overlap = true;
    holder = who;
    std::this_thread::yield();  // a wide window for another holder to show
    if (holder != who) overlap = true;
    ++(who < 0 ? monitor : count);
    holder = 0;
  }
};

guarded shared_state;
constexpr int lock_fd = 7;

void visit_from_monitor(int, socket_record*) { shared_state.visit(-1); }

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

// Every way in, from six threads at once: no two holders, no lost count.
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
  std::atomic<bool> stop{false};
  std::thread monitor([&stop] {
    while (!stop.load()) visit_records(visit_from_monitor);
  });
  for (auto& t : threads) t.join();
  stop = true;
  monitor.join();
  ASSERT_TRUE(claim_slot(lock_fd));
  EXPECT_FALSE(shared_state.overlap);
  EXPECT_EQ(shared_state.count, expected.load());
  release_slot(lock_fd);
}

// A thread that holds the slot as its owner keeps the others out until it leaves: the
// sweep's try reports it busy, a claim waits, the monitor passes it by.
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
  visit_records(visit_from_monitor);
  EXPECT_EQ(shared_state.monitor, 0);
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

#if !defined(__SANITIZE_THREAD__)
// Forking while another thread is inside the slot as its owner: the child, which has
// only the forking thread, gets the slot.
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
    _exit(claim_slot(lock_fd) ? 0 : 1);
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
