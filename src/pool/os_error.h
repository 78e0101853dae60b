// The system's description of an error number, as it appears after a colon in
// the pool's and the sessions' messages.
#pragma once

#include <string>

namespace marrowfen::pool {

// strerror's text followed by " (os error N)", e.g.
// "Permission denied (os error 13)".
std::string os_error_text(int err);

}  // namespace marrowfen::pool
