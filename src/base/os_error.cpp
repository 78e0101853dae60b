#include "base/os_error.h"

#include <cstring>

namespace marrowfen {

std::string os_error_text(int err) {
  // strerror_r (GNU form) is thread-safe, unlike strerror.
  char buffer[256];
  const char* text = ::strerror_r(err, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

}  // namespace marrowfen
