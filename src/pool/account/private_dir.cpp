#include "pool/account/private_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/dir_names.h"

namespace marrowfen::pool {
namespace {

constexpr mode_t kAncestorMode = 0755;

// Creates the missing ancestors of `dir`; existing ones are fine.
Result<void, Error> create_ancestors(const std::filesystem::path& dir) {
  std::filesystem::path partial;
  for (const auto& component : dir.parent_path()) {
    partial /= component;
    if (::mkdir(partial.c_str(), kAncestorMode) != 0 && errno != EEXIST) {
      return Error::os(errno, partial.string());
    }
  }
  return {};
}

}  // namespace

Result<UniqueFd, Error> open_private_dir(const std::filesystem::path& dir, mode_t mode) {
  MF_TRY(create_ancestors(dir));
  // Made private first, so nobody can use it before the mode is final.
  bool created = ::mkdir(dir.c_str(), 0700) == 0;
  if (!created && errno != EEXIST) return Error::os(errno, dir.string());
  UniqueFd fd(::open(dir.c_str(), kDirOpenFlags));
  // A link, a file, or gone again.
  if (!fd) return Error::os(errno, dir.string());
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Error::os(errno, dir.string());
  if (created) {
    if (::fchmod(fd.get(), mode) != 0) return Error::os(errno, dir.string());
    st.st_mode = S_IFDIR | mode;
  }
  bool ours = S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
  bool writable_by_others = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  if (!ours || writable_by_others) {
    return Error::text(dir.string() + ": not a directory of ours that only we may write");
  }
  return Ok<UniqueFd>{std::move(fd)};
}

}  // namespace marrowfen::pool
