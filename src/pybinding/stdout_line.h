// The module's own writer on file descriptor 1, line by line, bypassing
// Python's sys.stdout.
#pragma once

#include <string_view>

namespace marrowfen::py {

// Writes one whole line (with its newline) to fd 1. A failed write is an
// internal error.
void write_stdout_line(std::string_view line);

}  // namespace marrowfen::py
