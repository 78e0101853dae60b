// Directories of root's own in places where others may have been first.
//
// The pool keeps state in directories that nobody else may change: the root
// of the temporary homes and the directory of the account locks. Whoever
// could create one of them before us, make it a link, or write into it could
// redirect or block what we do there. So such a directory is created without
// following links, opened with O_NOFOLLOW, and used only when it is a real
// directory owned by the effective uid that neither group nor others may
// write; callers then work relative to the descriptor, never the path.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

#include "base/error.h"
#include "base/result.h"
#include "base/unique_fd.h"

namespace marrowfen::pool {

// Opens `dir` (close-on-exec), creating it first with exactly `mode` (the
// umask does not apply) if it is missing, along with its missing ancestors
// (mode 0755). The error says why the directory cannot be used.
Result<UniqueFd, Error> open_private_dir(const std::filesystem::path& dir, mode_t mode);

}  // namespace marrowfen::pool
