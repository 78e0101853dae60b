#include "base/warning.h"

#include <unistd.h>

#include <string>

#include "base/quiet_write.h"

namespace marrowfen {

void print_warning_line(std::string_view text) noexcept {
  try {
    std::string line(text);
    line += '\n';
    // A failed warning has nowhere else to go; the caller goes on regardless.
    (void)write_all_without_sigpipe(STDERR_FILENO, line);
  } catch (...) {  // NOLINT(bugprone-empty-catch)
    // Out of memory for the line: the warning is lost.
  }
}

}  // namespace marrowfen
