// Internal errors: a broken invariant abandons the current call by throwing
// `Panic`. Guards of poisonable locks notice a Panic unwinding through them
// and poison their lock, and the Python layer turns the exception into
// `PanicException`. Every other exception (running out of memory above all)
// is an ordinary failure: it unwinds through guards without poisoning
// anything, and the code it leaves must have changed nothing.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace marrowfen {

// What every attempt to take a poisoned lock reports.
inline constexpr const char* kPoisonedLockMessage = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

namespace detail {
// Panic objects alive on this thread. Signed, because an exception handed to
// another thread (std::exception_ptr) is destroyed there: the counts of both
// threads are then off by one for good, which does no harm since they are
// only ever compared with an earlier reading of the same thread. Every guard
// reads it, so it uses the initial-exec model: one load instead of a call
// into the dynamic linker from the shared object the module is.
[[gnu::tls_model("initial-exec")]] inline thread_local long live_panics = 0;
}  // namespace detail

// Made only to be thrown (see panic()): a Panic that is alive but not
// unwinding, kept in an exception_ptr say, would make a guard released by
// another exception meanwhile poison its lock.
class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) { ++detail::live_panics; }
  Panic(const Panic& o) : std::exception(o), message_(o.message_) { ++detail::live_panics; }
  Panic(Panic&& o) noexcept : std::exception(o), message_(std::move(o.message_)) { ++detail::live_panics; }
  Panic& operator=(const Panic&) = default;
  Panic& operator=(Panic&&) noexcept = default;
  ~Panic() override { --detail::live_panics; }

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

[[noreturn]] inline void panic(std::string message) { throw Panic(std::move(message)); }

// Tells a guard, when it is released, whether a Panic thrown since the guard
// was made is unwinding through it: more exceptions are in flight than when
// the guard was made, and more Panics are alive. So a std::bad_alloc does not
// count, not even while a Panic caught further up is being handled, nor does
// a Panic that is rethrown from a handler that made the guard (the guarded
// code did not fail; whatever failed before did not run under this guard).
class PanicUnwindDetector {
 public:
  PanicUnwindDetector() noexcept : exceptions_(std::uncaught_exceptions()), panics_(detail::live_panics) {}
  bool panic_unwinding() const noexcept {
    return std::uncaught_exceptions() > exceptions_ && detail::live_panics > panics_;
  }

 private:
  int exceptions_;
  long panics_;
};

}  // namespace marrowfen
