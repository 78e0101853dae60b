// Internal errors: a broken invariant abandons the current call by throwing
// `Panic`. Guards of poisonable locks notice the unwinding and poison their
// lock, and the Python layer turns the exception into `PanicException`.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace marrowfen {

// What every attempt to take a poisoned lock reports.
inline constexpr const char* kPoisonedLockMessage =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

[[noreturn]] inline void panic(std::string message) { throw Panic(std::move(message)); }

// Remembers how many exceptions were in flight when a guard was made, so the
// guard's destructor can tell a normal release from one during unwinding.
class UnwindDetector {
 public:
  UnwindDetector() noexcept : depth_(std::uncaught_exceptions()) {}
  bool unwinding() const noexcept { return std::uncaught_exceptions() > depth_; }

 private:
  int depth_;
};

}  // namespace marrowfen
