#include "pool/process/spawn_thread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace {

using marrowfen::pool::run_on_spawn_thread;

bool every_signal_blocked() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, SIGINT) && sigismember(&mask, SIGTERM) && sigismember(&mask, SIGCHLD);
}

TEST(SpawnThread, TheMainThreadRunsItsOwnWorkWithSignalsBlockedForItsDuration) {
  ASSERT_EQ(gettid(), getpid()) << "gtest runs tests on the main thread";
  pid_t ran_on = 0;
  bool blocked = false;
  ASSERT_TRUE(run_on_spawn_thread([&] {
                ran_on = gettid();
                blocked = every_signal_blocked();
              }).ok());
  EXPECT_EQ(ran_on, getpid());
  EXPECT_TRUE(blocked);
  EXPECT_FALSE(every_signal_blocked()) << "the mask is given back";
}

TEST(SpawnThread, OtherThreadsTakeTurnsOnOneThreadThatOutlivesThem) {
  // Callers from many short-lived threads at once: each job runs exactly
  // once, before its caller returns, one at a time, all on one thread that
  // is none of the callers.
  constexpr int kCallers = 8, kJobsEach = 200;
  std::atomic<int> running{0}, overlapped{0}, done{0};
  std::vector<pid_t> ran_on(kCallers * kJobsEach, 0);
  std::vector<std::thread> callers;
  std::vector<pid_t> caller_ids(kCallers, 0);
  for (int c = 0; c < kCallers; ++c)
    callers.emplace_back([&, c] {
      caller_ids[c] = gettid();
      for (int j = 0; j < kJobsEach; ++j) {
        int slot = c * kJobsEach + j;
        auto ran = run_on_spawn_thread([&, slot] {
          if (running.fetch_add(1) != 0) overlapped.fetch_add(1);
          ran_on[slot] = every_signal_blocked() ? gettid() : -1;
          done.fetch_add(1);
          running.fetch_sub(1);
        });
        ASSERT_TRUE(ran.ok());
        ASSERT_NE(ran_on[slot], 0) << "returned before the job ran";
      }
    });
  for (auto& t : callers) t.join();
  EXPECT_EQ(done.load(), kCallers * kJobsEach);
  EXPECT_EQ(overlapped.load(), 0);
  std::set<pid_t> threads(ran_on.begin(), ran_on.end());
  ASSERT_EQ(threads.size(), 1u);
  pid_t spawner = *threads.begin();
  EXPECT_NE(spawner, -1) << "a job ran with signals unblocked";
  EXPECT_NE(spawner, getpid());
  for (pid_t caller : caller_ids) EXPECT_NE(spawner, caller);

  // The callers are gone; the same thread still serves the next one.
  pid_t later = 0;
  std::thread([&] { ASSERT_TRUE(run_on_spawn_thread([&] { later = gettid(); }).ok()); }).join();
  EXPECT_EQ(later, spawner);
}

}  // namespace
