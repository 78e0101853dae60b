// The internal-error text for a poisoned pool or user lock.
#pragma once

#include <string>

namespace marrowfen::pool {

// `lock_name` says which lock, e.g. "pool".
inline std::string poisoned_lock_message(const char* lock_name) {
  return std::string("☢️ Poisoned lock: the ") + lock_name + " lock was left poisoned by an earlier internal error";
}

}  // namespace marrowfen::pool
