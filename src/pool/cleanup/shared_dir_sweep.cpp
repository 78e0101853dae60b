#include "pool/cleanup/shared_dir_sweep.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "base/dir_names.h"
#include "base/unique_fd.h"
#include "pool/cleanup/clear_record.h"
#include "pool/cleanup/tree_removal.h"

namespace marrowfen::pool {
namespace {

// Whether the directory open on `fd` has an access list, which can let
// users and groups write that its group bits (then the list's mask) only
// bound from above.
bool has_access_list(int fd) { return ::fgetxattr(fd, "system.posix_acl_access", nullptr, 0) > 0; }

class Sweeper {
 public:
  explicit Sweeper(const SharedDirSweep& sweep) : sweep_(sweep) {}

  // The problems met so far, in order; the sweep's caller adds its own.
  void add_problem(Error problem) { problems_.push_back(std::move(problem)); }
  std::vector<Error> take_problems() { return std::move(problems_); }

  // Sweeps the directory open on `dir_fd` (whose status is `dir_st`), found at `path`.
  // False once the deadline has passed.
  bool sweep_dir(int dir_fd, const struct stat& dir_st, const std::string& path, int depth) {
    auto names = dir_names(dir_fd);
    if (!names) {
      problems_.push_back(std::move(names).error().within(path));
      return true;
    }
    const bool homes = !sweep_.home_root.empty() && path == sweep_.home_root;
    for (const std::string& name : names.value()) {
      if (std::chrono::steady_clock::now() >= sweep_.deadline) {
        problems_.push_back(Error::os(ETIMEDOUT, path));
        return false;
      }
      if (!sweep_entry(dir_fd, dir_st, path + "/" + name, name, depth, homes)) return false;
    }
    return true;
  }

 private:
  // `in_homes`: the entry is a home in the home root.
  bool sweep_entry(int dir_fd, const struct stat& dir_st, const std::string& path, const std::string& name, int depth,
                   bool in_homes) {
    struct stat st;
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) problems_.push_back(Error::os(errno, path));
      return true;
    }
    // Another filesystem mounted here is not ours to clear. (Only
    // directories tell: on overlayfs, files report the device below.)
    if (S_ISDIR(st.st_mode) && st.st_dev != dir_st.st_dev) return true;
    // Its own home waits for its next hand-out.
    if (st.st_uid == sweep_.uid) return in_homes || remove(dir_fd, st, path, name);
    if (!S_ISDIR(st.st_mode) || depth + 1 >= kMaxSharedDepth) return true;
    const bool home_root = !sweep_.home_root.empty() && path == sweep_.home_root;
    // Only a group, or an access list, may let the account write here: open
    // it to look at the list. Neither: not a place it could have written.
    const bool maybe_writable = (st.st_mode & S_IWOTH) != 0 || (st.st_mode & S_IWGRP) != 0;
    if (!maybe_writable && !home_root) return true;
    // Unchanged since the account was last clear, and nothing below it.
    if (sweep_.unchanged_before && st.st_nlink == 2 && is_before(st.st_ctim, *sweep_.unchanged_before)) return true;
    UniqueFd sub(::openat(dir_fd, name.c_str(), kDirOpenFlags));
    struct stat sub_st;
    // Replaced meanwhile (by a link, say): not the directory examined above.
    if (!sub || ::fstat(sub.get(), &sub_st) != 0 || sub_st.st_ino != st.st_ino || sub_st.st_dev != st.st_dev) {
      return true;
    }
    if (!home_root && !may_write(sub.get(), sub_st)) return true;
    return sweep_dir(sub.get(), sub_st, path, depth + 1);
  }

  // Whether the account may create entries in the directory open on `fd`.
  bool may_write(int fd, const struct stat& st) {
    if ((st.st_mode & S_IWOTH) != 0) return true;
    if ((st.st_mode & S_IWGRP) == 0) return false;
    return in_group(st.st_gid) || has_access_list(fd);
  }

  bool in_group(gid_t gid) {
    if (!groups_) groups_ = account_groups(sweep_.name, sweep_.uid);
    return std::find(groups_->begin(), groups_->end(), gid) != groups_->end();
  }

  bool remove(int dir_fd, const struct stat& st, const std::string& path, const std::string& name) {
    int e = 0;
    if (S_ISDIR(st.st_mode)) {
      if (auto removed = remove_tree_at(dir_fd, name, sweep_.deadline); !removed) e = removed.error().os_error;
    } else if (::unlinkat(dir_fd, name.c_str(), 0) != 0) {
      e = errno;
    }
    if (e == 0 || e == ENOENT) return true;
    problems_.push_back(Error::os(e, path));
    return e != ETIMEDOUT;
  }

  const SharedDirSweep& sweep_;
  std::vector<Error> problems_;
  // Looked up the first time a directory only a group may write is met.
  std::optional<std::vector<gid_t>> groups_;
};

}  // namespace

std::vector<gid_t> account_groups(const std::string& name, uint32_t uid) {
  std::vector<gid_t> groups;
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_uid != uid) {
    // Not in the database as expected: its own group by the pool's rule.
    return {static_cast<gid_t>(uid)};
  }
  int count = 32;
  for (int tries = 0; tries < 4; ++tries) {
    groups.resize(count);
    int n = count;
    if (::getgrouplist(name.c_str(), found->pw_gid, groups.data(), &n) >= 0) {
      groups.resize(n);
      break;
    }
    count = std::max(n, count * 2);
  }
  // The pool hands homes to gid = uid; that group is the account's too.
  groups.push_back(static_cast<gid_t>(uid));
  return groups;
}

std::vector<Error> sweep_shared_dirs(const std::vector<std::string>& dirs, const SharedDirSweep& sweep) {
  std::vector<std::pair<dev_t, ino_t>> swept;
  Sweeper sweeper(sweep);
  for (const std::string& dir : dirs) {
    // The place itself is the host's: a link there (/var/tmp to /tmp, say)
    // is the host's choice and followed; nothing below it is.
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
      if (errno != ENOENT && errno != ENOTDIR) sweeper.add_problem(Error::os(errno, dir));
      continue;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
      sweeper.add_problem(Error::os(errno, dir));
      continue;
    }
    if (std::find(swept.begin(), swept.end(), std::pair(st.st_dev, st.st_ino)) != swept.end()) continue;
    swept.emplace_back(st.st_dev, st.st_ino);
    if (!sweeper.sweep_dir(fd.get(), st, dir, 0)) break;
  }
  return sweeper.take_problems();
}

}  // namespace marrowfen::pool
