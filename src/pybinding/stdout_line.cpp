#include "pybinding/stdout_line.h"

#include <errno.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "base/os_error.h"
#include "base/panic.h"

namespace marrowfen::py {

void write_stdout_line(std::string_view line) {
  // Lines from several threads never interleave.
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  while (!line.empty()) {
    ssize_t n = ::write(1, line.data(), line.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      panic("failed printing to stdout: " + os_error_text(errno));
    }
    line.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace marrowfen::py
