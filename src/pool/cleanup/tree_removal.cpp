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
// names. Returns an errno on failure, ETIMEDOUT past `deadline`.
int empty_of_files(int dir_fd, std::vector<std::string>& subdirs, Deadline deadline) {
  auto listed = dir_names(dir_fd);
  if (!listed) return listed.error();
  std::vector<std::string>& names = listed.value();

  size_t done = 0;
  for (std::string& name : names) {
    if (++done % kEntriesPerClockCheck == 0 && passed(deadline)) return ETIMEDOUT;
    struct stat st;
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      return errno;
    }
    if (S_ISDIR(st.st_mode)) {
      subdirs.push_back(std::move(name));
    } else if (::unlinkat(dir_fd, name.c_str(), 0) != 0 && errno != ENOENT) {
      return errno;
    }
  }
  return 0;
}

}  // namespace

int remove_tree_at(int parent_fd, const std::string& name, Deadline deadline) {
  UniqueFd current(::openat(parent_fd, name.c_str(), kDirOpenFlags));
  if (!current) return errno;
  std::vector<Level> path;
  path.push_back(Level{name, 0, 0, {}});
  if (int e = empty_of_files(current.get(), path.back().subdirs, deadline)) return e;

  for (;;) {
    if (passed(deadline)) return ETIMEDOUT;
    Level& level = path.back();
    if (!level.subdirs.empty()) {
      std::string child = std::move(level.subdirs.back());
      level.subdirs.pop_back();
      struct stat here;
      if (::fstat(current.get(), &here) != 0) return errno;
      // O_NOFOLLOW: should the entry have become a link, it is refused here.
      UniqueFd next(::openat(current.get(), child.c_str(), kDirOpenFlags));
      if (!next) {
        if (errno == ENOENT) continue;
        if (errno == ENOTDIR || errno == ELOOP) {
          if (::unlinkat(current.get(), child.c_str(), 0) != 0 && errno != ENOENT) return errno;
          continue;
        }
        return errno;
      }
      current = std::move(next);
      path.push_back(Level{std::move(child), here.st_dev, here.st_ino, {}});
      if (int e = empty_of_files(current.get(), path.back().subdirs, deadline)) return e;
      continue;
    }

    // This level is empty: climb back to its parent and remove it there.
    Level done = std::move(path.back());
    path.pop_back();
    if (path.empty()) {
      current.reset();
      return ::unlinkat(parent_fd, done.name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
    }
    UniqueFd up(::openat(current.get(), "..", kDirOpenFlags));
    if (!up) return errno;
    struct stat parent;
    if (::fstat(up.get(), &parent) != 0) return errno;
    if (parent.st_dev != done.parent_dev || parent.st_ino != done.parent_ino) return EXDEV;
    current = std::move(up);
    if (::unlinkat(current.get(), done.name.c_str(), AT_REMOVEDIR) != 0) return errno;
  }
}

}  // namespace marrowfen::pool
