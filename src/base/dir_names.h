// Listing a directory through a descriptor.
#pragma once

#include <string>
#include <vector>

#include "base/result.h"

namespace marrowfen {

// The names in the directory open on `dir_fd`, "." and ".." left out. The
// descriptor stays open and usable; the error is an errno.
Result<std::vector<std::string>, int> dir_names(int dir_fd);

}  // namespace marrowfen
