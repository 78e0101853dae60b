#include "pool/account/home_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include "base/dir_names.h"
#include "base/unique_fd.h"
#include "base/utf8.h"
#include "pool/account/private_dir.h"
#include "pool/cleanup/tree_removal.h"

namespace marrowfen::pool {
namespace {

constexpr mode_t kRootMode = 0755;
// Private whatever the umask: no other tenant may read or plant anything here.
constexpr mode_t kHomeMode = 0700;

const char* const kNoParent = "Failed to get the parent folder of the path";
const char* const kRootFailed = "Failed to create the parent folder of the temporary home directory";
const char* const kRemoveFailed = "Failed to remove the existing temporary home directory";
const char* const kCreateFailed = "Failed to create the temporary home directory";

// Clears the home path inside the root. Nothing there is fine; a status query
// that fails otherwise is left for the creation step to report.
Result<void, Error> remove_old_home(int root_fd, const char* name) {
  struct stat st;
  if (::fstatat(root_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return {};
  if (S_ISLNK(st.st_mode)) {
    // The link itself goes, whatever it points at; its target is never touched.
    if (::unlinkat(root_fd, name, 0) != 0) return Error::text(kRemoveFailed);
    return {};
  }
  if (!S_ISDIR(st.st_mode)) return Error::text(kRemoveFailed);
  if (!remove_tree_at(root_fd, name)) return Error::text(kRemoveFailed);
  return {};
}

}  // namespace

Result<std::string, Error> prepare_home(std::string_view root_text, std::string_view name, uint32_t uid) {
  std::filesystem::path home = std::filesystem::path(root_text) / name;
  std::filesystem::path root = home.parent_path();
  if (root.empty() || !home.has_filename()) return Error::text(kNoParent);
  // The home is one component below the root, whatever `name` holds.
  std::string leaf = home.filename().string();

  auto opened = open_private_dir(root, kRootMode);
  if (!opened) return Error::text(kRootFailed);
  UniqueFd root_fd = std::move(opened).value();
  MF_TRY(remove_old_home(root_fd.get(), leaf.c_str()));
  // The umask can only take bits away from 0700; the fchmod below puts any back.
  if (::mkdirat(root_fd.get(), leaf.c_str(), kHomeMode) != 0) return Error::text(kCreateFailed);

  char resolved[PATH_MAX];
  if (::realpath(home.c_str(), resolved) == nullptr) {
    return Error::os(errno, "Failed to canonicalize the path");
  }
  std::string canonical = resolved;
  if (!is_valid_utf8(canonical)) return Error::text("Failed to convert the path to a valid utf-8 string");

  // The root admits no other writer, so the entry opened here is the directory
  // made above; O_NOFOLLOW refuses it should it be a link all the same.
  UniqueFd home_fd(::openat(root_fd.get(), leaf.c_str(), kDirOpenFlags));
  if (!home_fd || ::fchown(home_fd.get(), uid, uid) != 0 || ::fchmod(home_fd.get(), kHomeMode) != 0) {
    return Error::os(errno, "Failed to change the ownership of the home directory");
  }
  return Ok<std::string>{std::move(canonical)};
}

}  // namespace marrowfen::pool
