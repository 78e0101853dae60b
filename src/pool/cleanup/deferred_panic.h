// Internal errors met in destructors.
//
// A destructor cannot throw, yet the release of an account (a poisoned pool
// lock) and the closing of a session (a failed kill) can meet an internal
// error there. Such an error is caught and its message parked in a slot of the
// thread that ran the destructor, in the order met. Whoever drops the last
// reference to a `User` record or destroys a `TerminalSession` (the Python
// binding, typically) should, on the same thread and right after the drop,
// call take_deferred_panic() until it returns nothing and report each message
// (as an unraisable exception, since no caller is left to receive it).
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "base/panic.h"

namespace marrowfen::pool {

// The oldest internal-error message parked on this thread, removed from the
// slot; nothing when none is waiting.
std::optional<std::string> take_deferred_panic();

// Parks `message` on this thread. Used by destructors.
void defer_panic(std::string message) noexcept;

// Runs `body`; an internal error (or any other exception) it throws is parked
// instead of escaping. For destructors.
template <class Body>
void run_deferring_panics(Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (const Panic& p) {
    defer_panic(p.message());
  } catch (const std::exception& e) {
    defer_panic(e.what());
  } catch (...) {
    defer_panic("unknown exception in a destructor");
  }
}

}  // namespace marrowfen::pool
