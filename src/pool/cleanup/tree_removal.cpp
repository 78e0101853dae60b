#include "pool/cleanup/tree_removal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "base/dir_names.h"
#include "base/unique_fd.h"

namespace marrowfen::pool {
namespace {

// How many entries are removed between two looks at the clock.
constexpr size_t kEntriesPerClockCheck = 256;

using Deadline = std::chrono::steady_clock::time_point;

bool passed(Deadline deadline) { return std::chrono::steady_clock::now() >= deadline; }

// A directory being emptied, on the way down.
struct Level {
  std::string name;      // its name in its parent
  dev_t parent_dev = 0;  // the parent it must lead back to
  ino_t parent_ino = 0;
  std::vector<std::string> subdirs;  // still to remove inside it
};

// Removes the non-directories in `dir_fd` and returns the subdirectories'
// names. The error is an errno, ETIMEDOUT past `deadline`.
Result<void, Error> empty_of_files(int dir_fd, std::vector<std::string>& subdirs, Deadline deadline) {
  MF_TRY_ASSIGN(std::vector<std::string> names, dir_names(dir_fd));

  size_t done = 0;
  for (std::string& name : names) {
    if (++done % kEntriesPerClockCheck == 0 && passed(deadline)) return Error::os(ETIMEDOUT);
    struct stat st;
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      return Error::os(errno);
    }
    if (S_ISDIR(st.st_mode)) {
      subdirs.push_back(std::move(name));
    } else if (::unlinkat(dir_fd, name.c_str(), 0) != 0 && errno != ENOENT) {
      return Error::os(errno);
    }
  }
  return {};
}

}  // namespace

Result<void, Error> remove_tree_at(int parent_fd, const std::string& name, Deadline deadline) {
  UniqueFd current(::openat(parent_fd, name.c_str(), kDirOpenFlags));
  if (!current) return Error::os(errno);
  std::vector<Level> path;
  path.push_back(Level{name, 0, 0, {}});
  MF_TRY(empty_of_files(current.get(), path.back().subdirs, deadline));

  for (;;) {
    if (passed(deadline)) return Error::os(ETIMEDOUT);
    Level& level = path.back();
    if (!level.subdirs.empty()) {
      std::string child = std::move(level.subdirs.back());
      level.subdirs.pop_back();
      struct stat here;
      if (::fstat(current.get(), &here) != 0) return Error::os(errno);
      // O_NOFOLLOW: should the entry have become a link, it is refused here.
      UniqueFd next(::openat(current.get(), child.c_str(), kDirOpenFlags));
      if (!next) {
        if (errno == ENOENT) continue;
        if (errno == ENOTDIR || errno == ELOOP) {
          if (::unlinkat(current.get(), child.c_str(), 0) != 0 && errno != ENOENT) return Error::os(errno);
          continue;
        }
        return Error::os(errno);
      }
      current = std::move(next);
      path.push_back(Level{std::move(child), here.st_dev, here.st_ino, {}});
      MF_TRY(empty_of_files(current.get(), path.back().subdirs, deadline));
      continue;
    }

    // This level is empty: climb back to its parent and remove it there.
    Level done = std::move(path.back());
    path.pop_back();
    if (path.empty()) {
      current.reset();
      if (::unlinkat(parent_fd, done.name.c_str(), AT_REMOVEDIR) != 0) return Error::os(errno);
      return {};
    }
    UniqueFd up(::openat(current.get(), "..", kDirOpenFlags));
    if (!up) return Error::os(errno);
    struct stat parent;
    if (::fstat(up.get(), &parent) != 0) return Error::os(errno);
    if (parent.st_dev != done.parent_dev || parent.st_ino != done.parent_ino) return Error::os(EXDEV);
    current = std::move(up);
    if (::unlinkat(current.get(), done.name.c_str(), AT_REMOVEDIR) != 0) return Error::os(errno);
  }
}

}  // namespace marrowfen::pool
