// A compact reader/writer lock in one 32-bit word, one per inode. Waiters
// sleep on the word (futex through std::atomic::wait); an unlock wakes them
// only when a waiter announced itself, so the uncontended path is two atomic
// operations. A write guard released while a Panic unwinds poisons the lock;
// no other exception does.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "base/panic.h"

namespace marrowfen {

class RwLock {
 public:
  RwLock() = default;
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock_shared() {
    uint32_t s = state_.load(std::memory_order_relaxed);
    for (;;) {
      if (s & kWriter) {
        wait_while(s);
        s = state_.load(std::memory_order_relaxed);
        continue;
      }
      if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
    }
  }

  bool try_lock_shared() {
    uint32_t s = state_.load(std::memory_order_relaxed);
    while (!(s & kWriter)) {
      if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed)) return true;
    }
    return false;
  }

  void unlock_shared() {
    uint32_t prev = state_.fetch_sub(1, std::memory_order_release);
    if ((prev & kReaders) == 1 && (prev & kWaiting)) wake();
  }

  void lock() {
    uint32_t s = state_.load(std::memory_order_relaxed);
    for (;;) {
      if ((s & (kWriter | kReaders)) != 0) {
        wait_while(s);
        s = state_.load(std::memory_order_relaxed);
        continue;
      }
      if (state_.compare_exchange_weak(s, s | kWriter, std::memory_order_acquire, std::memory_order_relaxed)) return;
    }
  }

  void unlock() {
    uint32_t prev = state_.fetch_and(~(kWriter | kWaiting), std::memory_order_release);
    if (prev & kWaiting) state_.notify_all();
  }

  void poison() { state_.fetch_or(kPoisoned, std::memory_order_release); }
  bool is_poisoned() const { return state_.load(std::memory_order_acquire) & kPoisoned; }
  bool is_write_locked() const { return state_.load(std::memory_order_acquire) & kWriter; }

 private:
  static constexpr uint32_t kWriter = 1u << 31;
  static constexpr uint32_t kPoisoned = 1u << 30;
  static constexpr uint32_t kWaiting = 1u << 29;
  static constexpr uint32_t kReaders = kWaiting - 1;

  // Announces a waiter, then sleeps until the word moves away from `seen`.
  void wait_while(uint32_t seen) {
    if (!(seen & kWaiting)) {
      if (!state_.compare_exchange_strong(seen, seen | kWaiting, std::memory_order_relaxed))
        return;  // the word changed; the caller looks again
      seen |= kWaiting;
    }
    state_.wait(seen, std::memory_order_relaxed);
  }

  void wake() {
    state_.fetch_and(~kWaiting, std::memory_order_relaxed);
    state_.notify_all();
  }

  std::atomic<uint32_t> state_{0};
};

// A shared hold of an RwLock. Taking a poisoned lock is an internal error,
// as with Mutex.
class SharedGuard {
 public:
  explicit SharedGuard(RwLock& l) : l_(&l) {
    l.lock_shared();
    if (l.is_poisoned()) {
      l.unlock_shared();
      panic(kPoisonedLockMessage);
    }
  }
  SharedGuard(SharedGuard&& o) noexcept : l_(std::exchange(o.l_, nullptr)) {}
  SharedGuard(const SharedGuard&) = delete;
  SharedGuard& operator=(const SharedGuard&) = delete;
  ~SharedGuard() { release(); }
  void release() {
    if (l_) std::exchange(l_, nullptr)->unlock_shared();
  }

 private:
  RwLock* l_;
};

// An exclusive hold of an RwLock; released while a Panic unwinds through
// it, it poisons the lock.
class ExclusiveGuard {
 public:
  explicit ExclusiveGuard(RwLock& l) : l_(&l) {
    l.lock();
    if (l.is_poisoned()) {
      l.unlock();
      panic(kPoisonedLockMessage);
    }
  }
  ExclusiveGuard(ExclusiveGuard&& o) noexcept : l_(std::exchange(o.l_, nullptr)), unwind_(o.unwind_) {}
  ExclusiveGuard(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;
  ~ExclusiveGuard() { release(); }
  void release() {
    if (!l_) return;
    RwLock* l = std::exchange(l_, nullptr);
    if (unwind_.panic_unwinding()) l->poison();
    l->unlock();
  }

 private:
  RwLock* l_;
  PanicUnwindDetector unwind_;
};

// For debug text: calls `fn(bool held)` with the lock held shared, or with
// false at once when a writer holds it (it never waits). A poisoned lock is
// read all the same.
template <class Fn>
void try_inspect(RwLock& lock, Fn&& fn) {
  if (!lock.try_lock_shared()) {
    fn(false);
    return;
  }
  struct Unlock {
    RwLock& l;
    ~Unlock() { l.unlock_shared(); }
  } unlock{lock};
  fn(true);
}

}  // namespace marrowfen
