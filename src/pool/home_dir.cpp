#include "pool/home_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include "base/os_error.h"
#include "pool/tree_removal.h"
#include "pool/unique_fd.h"
#include "base/utf8.h"

namespace marrowfen::pool {
namespace {

constexpr mode_t kRootMode = 0755;
constexpr int kDirOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

const char* const kNoParent = "Failed to get the parent folder of the path";
const char* const kRootFailed = "Failed to create the parent folder of the temporary home directory";
const char* const kRemoveFailed = "Failed to remove the existing temporary home directory";
const char* const kCreateFailed = "Failed to create the temporary home directory";

// Creates the missing ancestors of `dir` (mode 0755); existing ones are fine.
bool create_ancestors(const std::filesystem::path& dir) {
  std::filesystem::path partial;
  for (const auto& component : dir.parent_path()) {
    partial /= component;
    if (::mkdir(partial.c_str(), kRootMode) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// Opens the home root, creating it first if needed, and checks that nobody but
// us can change what is inside it.
Result<UniqueFd, std::string> open_home_root(const std::filesystem::path& root) {
  if (!create_ancestors(root)) return err(std::string(kRootFailed));
  bool created = ::mkdir(root.c_str(), 0700) == 0;
  if (!created && errno != EEXIST) return err(std::string(kRootFailed));
  UniqueFd fd(::open(root.c_str(), kDirOpenFlags));
  if (!fd) return err(std::string(kRootFailed));  // a link, a file, or gone again
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return err(std::string(kRootFailed));
  if (created) {
    // mkdir's mode is cut by the umask; the root must be 0755 regardless.
    if (::fchmod(fd.get(), kRootMode) != 0) return err(std::string(kRootFailed));
    st.st_mode = S_IFDIR | kRootMode;
  }
  bool ours = S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
  bool writable_by_others = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  if (!ours || writable_by_others) return err(std::string(kRootFailed));
  return Ok<UniqueFd>{std::move(fd)};
}

// Clears the home path inside the root. Nothing there is fine; a status query
// that fails otherwise is left for the creation step to report.
Result<void, std::string> remove_old_home(int root_fd, const char* name) {
  struct stat st;
  if (::fstatat(root_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return {};
  if (S_ISLNK(st.st_mode)) {
    // The link itself goes, whatever it points at; its target is never touched.
    if (::unlinkat(root_fd, name, 0) != 0) return err(std::string(kRemoveFailed));
    return {};
  }
  if (!S_ISDIR(st.st_mode)) return err(std::string(kRemoveFailed));
  if (remove_tree_at(root_fd, name) != 0) return err(std::string(kRemoveFailed));
  return {};
}

}  // namespace

Result<std::string, std::string> prepare_home(std::string_view root_text, std::string_view name,
                                              uint32_t uid) {
  std::filesystem::path home = std::filesystem::path(root_text) / name;
  std::filesystem::path root = home.parent_path();
  if (root.empty() || !home.has_filename()) return err(std::string(kNoParent));
  // The home is one component below the root, whatever `name` holds.
  std::string leaf = home.filename().string();

  MF_TRY_ASSIGN(UniqueFd root_fd, open_home_root(root));
  MF_TRY(remove_old_home(root_fd.get(), leaf.c_str()));
  if (::mkdirat(root_fd.get(), leaf.c_str(), 0777) != 0) return err(std::string(kCreateFailed));

  char resolved[PATH_MAX];
  if (::realpath(home.c_str(), resolved) == nullptr) {
    return err("Failed to canonicalize the path: " + os_error_text(errno));
  }
  std::string canonical = resolved;
  if (!is_valid_utf8(canonical)) return err(std::string("Failed to convert the path to a valid utf-8 string"));

  // The root admits no other writer, so the entry opened here is the directory
  // made above; O_NOFOLLOW refuses it should it be a link all the same.
  UniqueFd home_fd(::openat(root_fd.get(), leaf.c_str(), kDirOpenFlags));
  if (!home_fd || ::fchown(home_fd.get(), uid, uid) != 0) {
    return err("Failed to change the ownership of the home directory: " + os_error_text(errno));
  }
  return Ok<std::string>{std::move(canonical)};
}

}  // namespace marrowfen::pool
