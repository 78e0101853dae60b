#include "pool/warning.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace marrowfen::pool {

void print_warning_line(std::string_view text) noexcept {
  try {
    std::string line(text);
    line += '\n';
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
      ssize_t n = ::write(STDERR_FILENO, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
  } catch (...) {
    // Out of memory for the line: the warning is lost, the caller goes on.
  }
}

}  // namespace marrowfen::pool
