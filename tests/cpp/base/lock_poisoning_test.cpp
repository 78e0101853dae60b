// Which exceptions poison a lock: a Panic unwinding through a guard does;
// anything else (running out of memory above all) does not, also when it
// unwinds while a Panic is being handled.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "base/panic.h"
#include "base/rwlock.h"

namespace marrowfen {
namespace {

// Runs `body` with a write guard of `lock` held, swallowing what it throws.
template <class Lock, class Body>
void under_guard(Lock& lock, Body&& body) {
  try {
    auto guard = lock.lock();
    body();
  } catch (...) {
  }
}

template <class Lock>
class LockPoisoning : public ::testing::Test {};

// Mutex<int> and the write guard of an RwLock, as inodes take it, behind one
// interface.
struct MutexLock {
  Mutex<int> m{0};
  auto lock() { return m.lock(); }
  bool is_poisoned() const { return m.is_poisoned(); }
};
struct RwWriteLock {
  RwLock l;
  ExclusiveGuard lock() { return ExclusiveGuard(l); }
  bool is_poisoned() const { return l.is_poisoned(); }
};
using Locks = ::testing::Types<MutexLock, RwWriteLock>;
TYPED_TEST_SUITE(LockPoisoning, Locks);

TYPED_TEST(LockPoisoning, OnlyAPanicUnwindingThroughTheGuardPoisons) {
  TypeParam ordinary;
  under_guard(ordinary, [] { throw std::bad_alloc(); });
  under_guard(ordinary, [] { throw std::runtime_error("x"); });
  under_guard(ordinary, [] {});
  EXPECT_FALSE(ordinary.is_poisoned());

  TypeParam panicked;
  under_guard(panicked, [] { panic("broken"); });
  EXPECT_TRUE(panicked.is_poisoned());
  EXPECT_THROW(panicked.lock(), Panic);
}

TYPED_TEST(LockPoisoning, NestedAndCaughtExceptions) {
  // A Panic caught inside the guarded code is over: the guard is released
  // normally, or by a later bad_alloc, without poisoning.
  TypeParam caught_inside;
  under_guard(caught_inside, [] {
    try {
      panic("handled");
    } catch (const Panic&) {
    }
    throw std::bad_alloc();
  });
  EXPECT_FALSE(caught_inside.is_poisoned());

  // A bad_alloc while a Panic is handled further up does not count.
  TypeParam during_handling;
  try {
    panic("outer");
  } catch (const Panic&) {
    under_guard(during_handling, [] { throw std::bad_alloc(); });
  }
  EXPECT_FALSE(during_handling.is_poisoned());

  // A Panic caught and rethrown unwinds through the guards made before it.
  TypeParam rethrown;
  under_guard(rethrown, [] {
    try {
      panic("again");
    } catch (...) {
      throw;
    }
  });
  EXPECT_TRUE(rethrown.is_poisoned());

  // A Panic from a destructor that runs while a bad_alloc unwinds poisons
  // the guards it unwinds through itself, and only those.
  TypeParam outer, inner;
  struct PanicsInside {
    TypeParam* inner;
    ~PanicsInside() {
      under_guard(*inner, [] { panic("in a destructor"); });
    }
  };
  under_guard(outer, [&] {
    PanicsInside p{&inner};
    throw std::bad_alloc();
  });
  EXPECT_TRUE(inner.is_poisoned());
  EXPECT_FALSE(outer.is_poisoned());
}

TEST(MutexWaiters, ExcludeEachOtherAndLearnOfAPoisoning) {
  Mutex<long> counter{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        auto guard = counter.lock();
        long seen = *guard;
        std::this_thread::yield();
        *guard = seen + 1;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(*counter.lock(), 80000);

  // A thread asleep on the lock wakes to the poisoning of its holder.
  std::atomic<bool> holding{false};
  std::atomic<int> refused{0};
  std::thread holder([&] {
    under_guard(counter, [&] {
      holding = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      panic("while others wait");
    });
  });
  while (!holding) std::this_thread::yield();
  std::thread waiter([&] {
    try {
      (void)counter.lock();
    } catch (const Panic&) {
      ++refused;
    }
  });
  holder.join();
  waiter.join();
  EXPECT_EQ(refused.load(), 1);
}

}  // namespace
}  // namespace marrowfen
