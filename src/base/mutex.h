// A mutual-exclusion lock around a value that is poisoned when an internal
// error (a Panic) unwinds through a guard; every later lock attempt is then
// itself an internal error. Any other exception leaves it as it was.
//
// The lock is one 32-bit word: uncontended, taking it is one compare-and-swap
// and letting go one exchange, with no call into the C library. Waiters sleep
// on the word (futex through std::atomic::wait), so it may also be held
// across blocking work.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "base/panic.h"

namespace marrowfen {

template <class T>
class Mutex {
 public:
  template <class... Args>
  explicit Mutex(Args&&... args) : value_(std::forward<Args>(args)...) {}
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  class Guard {
   public:
    explicit Guard(Mutex* m) : m_(m) {}
    Guard(Guard&& o) noexcept : m_(std::exchange(o.m_, nullptr)), unwind_(o.unwind_) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      if (m_) m_->unlock(unwind_.panic_unwinding());
    }
    T& operator*() const { return m_->value_; }
    T* operator->() const { return &m_->value_; }

   private:
    Mutex* m_;
    PanicUnwindDetector unwind_;
  };

  // Takes the lock; a poisoned lock is an internal error with `poisoned_message`.
  Guard lock(const char* poisoned_message = kPoisonedLockMessage) {
    if (acquire_poisoned()) panic(poisoned_message);
    return Guard(this);
  }

  // As lock(), with a message built by the caller (for causes with detail).
  template <class MessageFn>
  Guard lock_or_else(MessageFn&& message) {
    if (acquire_poisoned()) panic(message());
    return Guard(this);
  }

  bool is_poisoned() const { return state_.load(std::memory_order_acquire) & kPoisoned; }

 private:
  static constexpr uint32_t kLocked = 1;
  static constexpr uint32_t kWaiting = 2;
  static constexpr uint32_t kPoisoned = 4;

  // Takes the lock. A poisoned lock is let go again at once: true.
  bool acquire_poisoned() {
    uint32_t s = state_.load(std::memory_order_relaxed);
    for (;;) {
      if (!(s & kLocked)) {
        if (state_.compare_exchange_weak(s, s | kLocked, std::memory_order_acquire, std::memory_order_relaxed)) break;
        continue;
      }
      // Announce a waiter, then sleep until the word changes.
      if (!(s & kWaiting) && !state_.compare_exchange_weak(s, s | kWaiting, std::memory_order_relaxed)) continue;
      state_.wait(s | kWaiting, std::memory_order_relaxed);
      s = state_.load(std::memory_order_relaxed);
    }
    if (!(s & kPoisoned)) return false;
    unlock(false);
    return true;
  }

  void unlock(bool poison) {
    if (poison) state_.fetch_or(kPoisoned, std::memory_order_relaxed);
    uint32_t prev = state_.fetch_and(~(kLocked | kWaiting), std::memory_order_release);
    if (prev & kWaiting) state_.notify_all();
  }

  std::atomic<uint32_t> state_{0};
  T value_;
};

}  // namespace marrowfen
