#include "pool/cleanup/shared_dir_sweep.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/dir_names.h"
#include "base/os_error.h"
#include "base/unique_fd.h"
#include "pool/cleanup/tree_removal.h"

namespace marrowfen::pool {
namespace {

// How deep the sweep follows directories that others may write.
constexpr int kMaxSharedDepth = 8;

class Sweeper {
 public:
  Sweeper(const SharedDirSweep& sweep, std::vector<std::string>& problems) : sweep_(sweep), problems_(problems) {}

  // Sweeps the directory open on `dir_fd` (whose status is `dir_st`), found at `path`.
  // False once the deadline has passed.
  bool sweep_dir(int dir_fd, const struct stat& dir_st, const std::string& path, int depth) {
    auto names = dir_names(dir_fd);
    if (!names) {
      problems_.push_back(path + ": " + os_error_text(names.error()));
      return true;
    }
    for (const std::string& name : names.value()) {
      if (std::chrono::steady_clock::now() >= sweep_.deadline) {
        problems_.push_back(path + ": " + os_error_text(ETIMEDOUT));
        return false;
      }
      if (!sweep_entry(dir_fd, dir_st, path + "/" + name, name, depth)) return false;
    }
    return true;
  }

 private:
  bool sweep_entry(int dir_fd, const struct stat& dir_st, const std::string& path, const std::string& name, int depth) {
    struct stat st;
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) problems_.push_back(path + ": " + os_error_text(errno));
      return true;
    }
    // Another filesystem mounted here is not ours to clear. (Only
    // directories tell: on overlayfs, files report the device below.)
    if (S_ISDIR(st.st_mode) && st.st_dev != dir_st.st_dev) return true;
    if (std::find(sweep_.left_alone.begin(), sweep_.left_alone.end(), path) != sweep_.left_alone.end()) return true;
    if (st.st_uid == sweep_.uid) return remove(dir_fd, st, path, name);
    bool shared = S_ISDIR(st.st_mode) && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!shared || depth + 1 >= kMaxSharedDepth) return true;
    UniqueFd sub(::openat(dir_fd, name.c_str(), kDirOpenFlags));
    struct stat sub_st;
    // Replaced meanwhile (by a link, say): not the directory examined above.
    if (!sub || ::fstat(sub.get(), &sub_st) != 0 || sub_st.st_ino != st.st_ino || sub_st.st_dev != st.st_dev) {
      return true;
    }
    return sweep_dir(sub.get(), sub_st, path, depth + 1);
  }

  bool remove(int dir_fd, const struct stat& st, const std::string& path, const std::string& name) {
    int e = 0;
    if (S_ISDIR(st.st_mode)) {
      e = remove_tree_at(dir_fd, name, sweep_.deadline);
    } else if (::unlinkat(dir_fd, name.c_str(), 0) != 0) {
      e = errno;
    }
    if (e == 0 || e == ENOENT) return true;
    problems_.push_back(path + ": " + os_error_text(e));
    return e != ETIMEDOUT;
  }

  const SharedDirSweep& sweep_;
  std::vector<std::string>& problems_;
};

}  // namespace

void sweep_shared_dir(const std::string& dir, const SharedDirSweep& sweep, std::vector<std::string>& problems) {
  // The shared directory itself is the host's: a link there (/var/tmp to
  // /tmp, say) is the host's choice and followed; nothing below it is.
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) {
    if (errno != ENOENT && errno != ENOTDIR) problems.push_back(dir + ": " + os_error_text(errno));
    return;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    problems.push_back(dir + ": " + os_error_text(errno));
    return;
  }
  Sweeper(sweep, problems).sweep_dir(fd.get(), st, dir, 0);
}

}  // namespace marrowfen::pool
