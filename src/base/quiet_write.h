// Writing to a pipe whose reader may be gone, without SIGPIPE ending the
// process: the embedding program (a Python interpreter, a test runner) must
// get an EPIPE error back, whatever its SIGPIPE disposition.
#pragma once

#include <string_view>

#include "base/write_all.h"

namespace marrowfen {

// write_all (base/write_all.h) with SIGPIPE held off: returns 0, or the errno
// of the failure (EPIPE when the reading side is closed, EINTR when an
// interrupted write was given up).
int write_all_without_sigpipe(int fd, std::string_view data, Interruptible interruptible = Interruptible::kNo) noexcept;

}  // namespace marrowfen
