#include "pool/cleanup/deferred_panic.h"

#include <deque>

namespace marrowfen::pool {
namespace {
thread_local std::deque<std::string> parked_panics;
}  // namespace

std::optional<std::string> take_deferred_panic() {
  if (parked_panics.empty()) return std::nullopt;
  std::string message = std::move(parked_panics.front());
  parked_panics.pop_front();
  return message;
}

void defer_panic(std::string message) noexcept {
  try {
    parked_panics.push_back(std::move(message));
  } catch (...) {  // NOLINT(bugprone-empty-catch)
    // No memory to park it: the message is lost rather than ending the process.
  }
}

}  // namespace marrowfen::pool
