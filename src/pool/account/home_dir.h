// Temporary home directories of handed-out accounts.
//
// The home root sits under the world-writable /tmp, so anyone could create it
// first or plant links in it. Everything below therefore works relative to a
// descriptor of the checked root and never follows a link: the root must be a
// real directory of ours that nobody else may write, an old home is removed
// with directory-relative calls, and the new home is handed to its account
// through a descriptor of the directory just made.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/result.h"

namespace marrowfen::pool {

inline constexpr const char* kHomeRoot = "/tmp/tmp_user_home";

// Makes `root`/`name` a fresh, empty directory owned by uid and gid `uid` and
// returns its canonical path, or the message of the step that failed:
// - the root (and missing ancestors) is created with mode 0755 whatever the
//   umask; an existing root must be a directory, not a link, owned by the
//   effective uid and not writable by group or others;
// - whatever is at the home path is removed without following links: a link
//   (dangling or not) is removed itself, a directory with everything below
//   it; anything else (a regular file, say) is refused;
// - the home is created and handed to uid:uid with mode 0700 whatever the
//   umask, so no other tenant can read it or plant files (a .bashrc) in it.
Result<std::string, Error> prepare_home(std::string_view root, std::string_view name, uint32_t uid);

}  // namespace marrowfen::pool
