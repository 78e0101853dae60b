#include "base/warning.h"

#include <unistd.h>

#include <string>

#include "base/quiet_write.h"

namespace marrowfen {

void warn(const Error& error, WarningMark mark) noexcept {
  try {
    std::string line(mark == WarningMark::kMarked ? kWarningMark : std::string_view());
    line += error.message();
    line += '\n';
    // A failed warning has nowhere else to go; the caller goes on regardless.
    (void)write_all_without_sigpipe(STDERR_FILENO, line);
  } catch (...) {  // NOLINT(bugprone-empty-catch)
    // Out of memory for the line: the warning is lost.
  }
}

}  // namespace marrowfen
