#include "base/write_all.h"

#include <unistd.h>

#include <cerrno>

#include "base/interrupt.h"

namespace marrowfen {

int write_all(int fd, std::string_view data, Interruptible interruptible) noexcept {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n >= 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    int e = errno;
    if (e == EINTR && (interruptible == Interruptible::kNo || go_on_after_interrupt())) continue;
    return e;
  }
  return 0;
}

}  // namespace marrowfen
