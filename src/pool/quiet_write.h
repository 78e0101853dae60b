// Writing to a pipe whose reader may be gone, without SIGPIPE ending the
// process: the embedding program (a Python interpreter, a test runner) must
// get an EPIPE error back, whatever its SIGPIPE disposition.
#pragma once

#include <string_view>

namespace marrowfen::pool {

// Writes all of `data` to `fd`, repeating partial and interrupted writes and
// blocking while the pipe is full. Returns 0, or the errno of the failure
// (EPIPE when the reading side is closed).
int write_all_without_sigpipe(int fd, std::string_view data) noexcept;

}  // namespace marrowfen::pool
