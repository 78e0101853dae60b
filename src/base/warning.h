// Warning lines of the pool, written straight to file descriptor 2 so they
// neither wait in a stdio buffer nor go through Python's sys.stderr.
#pragma once

#include <string_view>

namespace marrowfen {

// Writes `text` and a line feed to descriptor 2 in one write where possible.
// Failures are ignored: a warning has nowhere else to go.
void print_warning_line(std::string_view text) noexcept;

}  // namespace marrowfen
