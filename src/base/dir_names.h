// Listing a directory through a descriptor.
#pragma once

#include <fcntl.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "base/result.h"

namespace marrowfen {

// How the host side opens a directory that someone else may have replaced
// by a link: never following it, never inherited by a child.
inline constexpr int kDirOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The names in the directory open on `dir_fd`, "." and ".." left out. The
// descriptor stays open and usable; the error is an errno, without context.
Result<std::vector<std::string>, Error> dir_names(int dir_fd);

}  // namespace marrowfen
