#include "pybinding/stdout_line.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <string>

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
      int err = errno;
      panic(std::string("failed printing to stdout: ") + strerror(err) + " (os error " + std::to_string(err) + ")");
    }
    line.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace marrowfen::py
