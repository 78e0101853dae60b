// Writing a whole buffer to a raw file descriptor: the one loop behind the
// module's own output (the read diagnostic on fd 1, internal-error reports
// on fd 2) and the shell sessions' standard input.
#pragma once

#include <string_view>

namespace marrowfen {

enum class Interruptible {
  kNo,   // an interrupted write is always retried
  kYes,  // unless the thread's interrupt check gives it up (base/interrupt.h)
};

// Writes all of `data` to `fd`, repeating partial and interrupted writes and
// blocking while the descriptor is full. Returns 0, or the errno of the
// failure (EINTR when an interrupted write was given up); some of the data
// may have been written then.
int write_all(int fd, std::string_view data, Interruptible interruptible = Interruptible::kNo) noexcept;

}  // namespace marrowfen
