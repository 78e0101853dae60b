// Removing what an account left in the directories that every user may
// write: /tmp, /var/tmp, /dev/shm, /run/lock, /dev/mqueue (whose entries are
// the POSIX message queues).
//
// The sweep runs as root after every process of the account is dead, while
// other tenants may still be busy in the same directories. So it removes only
// entries owned by the account, never follows a link (a link from /tmp to
// /etc is removed itself, /etc is untouched), never crosses onto another
// filesystem, and works through directory descriptors, re-checking that the
// directory it opened is the one it examined. A tenant also leaves entries
// inside directories that others own but may write (such as /tmp/.X11-unix);
// those are searched too, a few levels deep. Whole trees of the account go
// through remove_tree_at (tree_removal.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace marrowfen::pool {

struct SharedDirSweep {
  uint32_t uid;
  std::chrono::steady_clock::time_point deadline;
  // Absolute paths left to their own logic, whoever owns them (the home root).
  std::vector<std::string> left_alone;
};

// Removes the entries of `sweep.uid` in `dir` and in the directories below it
// that group or others may write. A missing `dir` is nothing to do. Each
// entry that cannot be removed, and a passed deadline, adds one text to
// `problems` ("<path>: <reason>").
void sweep_shared_dir(const std::string& dir, const SharedDirSweep& sweep, std::vector<std::string>& problems);

}  // namespace marrowfen::pool
