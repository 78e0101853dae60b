// A mutual-exclusion lock around a value that is poisoned when an internal
// error (a Panic) unwinds through a guard; every later lock attempt is then
// itself an internal error. Any other exception leaves it as it was.
#pragma once

#include <atomic>
#include <mutex>
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
      if (!m_) return;
      if (unwind_.panic_unwinding()) m_->poisoned_.store(true, std::memory_order_release);
      m_->mutex_.unlock();
    }
    T& operator*() const { return m_->value_; }
    T* operator->() const { return &m_->value_; }

   private:
    Mutex* m_;
    PanicUnwindDetector unwind_;
  };

  // Takes the lock; a poisoned lock is an internal error with `poisoned_message`.
  Guard lock(const char* poisoned_message = kPoisonedLockMessage) {
    mutex_.lock();
    if (poisoned_.load(std::memory_order_acquire)) {
      mutex_.unlock();
      panic(poisoned_message);
    }
    return Guard(this);
  }

  // As lock(), with a message built by the caller (for causes with detail).
  template <class MessageFn>
  Guard lock_or_else(MessageFn&& message) {
    mutex_.lock();
    if (poisoned_.load(std::memory_order_acquire)) {
      mutex_.unlock();
      panic(message());
    }
    return Guard(this);
  }

  bool is_poisoned() const { return poisoned_.load(std::memory_order_acquire); }

 private:
  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};
  T value_;
};

}  // namespace marrowfen
