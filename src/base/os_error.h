// The system's description of an error number, as it appears after a colon in
// messages about host failures.
#pragma once

#include <string>

namespace marrowfen {

// strerror's text followed by " (os error N)", e.g.
// "Permission denied (os error 13)".
std::string os_error_text(int err);

}  // namespace marrowfen
