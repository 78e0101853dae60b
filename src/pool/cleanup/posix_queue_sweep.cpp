#include "pool/cleanup/posix_queue_sweep.h"

#include <fcntl.h>
#include <linux/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "base/dir_names.h"
#include "base/unique_fd.h"

namespace marrowfen::pool {
namespace {

constexpr long kMqueueMagic = 0x19800202;
constexpr const char* kQueuesPlace = "POSIX message queues";

// A descriptor of the root of the queues' filesystem, or the errno that kept
// it out of reach (ENODEV: the kernel has no POSIX queues).
struct QueueRoot {
  int fd = -1;
  int error = 0;
};

// A mount of the queues' filesystem that no path leads to.
int detached_queue_mount(int& error) {
  UniqueFd context(static_cast<int>(::syscall(SYS_fsopen, "mqueue", FSOPEN_CLOEXEC)));
  if (!context) {
    error = errno;
    return -1;
  }
  if (::syscall(SYS_fsconfig, context.get(), FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) != 0) {
    error = errno;
    return -1;
  }
  int mount = static_cast<int>(::syscall(SYS_fsmount, context.get(), FSMOUNT_CLOEXEC, 0));
  if (mount < 0) error = errno;
  return mount;
}

// /dev/mqueue, where the queues' filesystem is mounted there.
int mounted_queue_dir(int& error) {
  UniqueFd dir(::open("/dev/mqueue", kDirOpenFlags));
  struct statfs fs;
  if (dir && ::fstatfs(dir.get(), &fs) == 0 && fs.f_type == kMqueueMagic) return dir.release();
  error = ENODEV;
  return -1;
}

// Made on first use and kept for the life of the process (close-on-exec).
const QueueRoot& queue_root() {
  static const QueueRoot root = [] {
    QueueRoot r;
    r.fd = detached_queue_mount(r.error);
    // An older kernel, or no right to mount: the host's mount, if any.
    int mounted_error = 0;
    if (r.fd < 0 && r.error != ENODEV) r.fd = mounted_queue_dir(mounted_error);
    return r;
  }();
  return root;
}

}  // namespace

std::vector<Error> sweep_posix_queues(uint32_t uid) {
  std::vector<Error> problems;
  const QueueRoot& root = queue_root();
  if (root.fd < 0) {
    if (root.error != ENODEV) problems.push_back(Error::os(root.error, kQueuesPlace));
    return problems;
  }
  // A descriptor of its own for each listing: threads may sweep at once.
  UniqueFd dir(::openat(root.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) {
    problems.push_back(Error::os(errno, kQueuesPlace));
    return problems;
  }
  auto names = dir_names(dir.get());
  if (!names) {
    problems.push_back(std::move(names).error().within(kQueuesPlace));
    return problems;
  }
  for (const std::string& name : names.value()) {
    struct stat st;
    if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid != uid) continue;
    if (::unlinkat(dir.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
      problems.push_back(Error::os(errno, std::string(kQueuesPlace) + " /" + name));
    }
  }
  return problems;
}

}  // namespace marrowfen::pool
