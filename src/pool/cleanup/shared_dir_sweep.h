// Removing what an account left in the directories that every user may
// write: /tmp, /var/tmp, /dev/shm, /run/lock.
//
// The sweep runs as root after every process of the account is dead, while
// other tenants may still be busy in the same directories. So it removes only
// entries owned by the account, never follows a link (a link from /tmp to
// /etc is removed itself, /etc is untouched), never crosses onto another
// filesystem, and works through directory descriptors, re-checking that the
// directory it opened is the one it examined. Whole trees of the account go
// through remove_tree_at (tree_removal.h).
//
// A tenant also leaves entries inside directories that others own but it may
// write (/tmp/.X11-unix, another tenant's world-writable directory, one of
// its group): those are searched too, up to kMaxSharedDepth levels below
// the place. A directory the account may not write (by owner, mode, its
// groups and any access list) cannot have got an entry of it, and is not
// listed: the sweep of one account does not grow with directories of others
// that it could never have written into. (Such a directory could still hold
// an entry from before its owner took the write permission away; its owner,
// not the account, decided that, and a tenant's directory goes whole with
// that tenant's own release.)
//
// The home root holds every account's home: the account's own is left for
// its next hand-out, and its entries in the homes of others (opened with
// chmod 777, say) go like any in a shared directory.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"

namespace marrowfen::pool {

// How deep below a place the sweep follows directories that others own.
inline constexpr int kMaxSharedDepth = 8;

struct SharedDirSweep {
  uint32_t uid;
  std::chrono::steady_clock::time_point deadline;
  // The directory of every account's home (absolute path); empty: none.
  std::string home_root;
  // The account's name, for its groups: a directory only a group may write
  // is searched when the account is in that group.
  std::string name;
  // A directory without subdirectories whose ctime is before this has not
  // changed since the account was last clear, and is not opened (see
  // clear_record.h). Nothing: every one is.
  std::optional<timespec> unchanged_before;
};

// Removes the entries of `sweep.uid` in each of `dirs` and in the
// directories below them that the account may write; a directory reached
// under two names (/var/tmp a link to /tmp, say) is swept once. A missing
// directory is nothing to do. Each entry that cannot be removed, and a passed
// deadline, is one problem (its context the path). The problems, in the
// order met.
std::vector<Error> sweep_shared_dirs(const std::vector<std::string>& dirs, const SharedDirSweep& sweep);

// The group ids of account `name` (uid `uid`): its primary group and the
// ones that list it, as the host's account database has them.
std::vector<gid_t> account_groups(const std::string& name, uint32_t uid);

}  // namespace marrowfen::pool
