#include "pool/account/account_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "base/unique_fd.h"
#include "pool/account/private_dir.h"

namespace marrowfen::pool {
namespace {

// Root only: the account names in use are nobody else's business.
constexpr mode_t kLockDirMode = 0700;

// The claims this process holds, so that a child made by fork() can close
// its copies before it does anything else. Claims are made and let go under
// the registry's lock, which fork() waits for: a child never copies a
// claimed descriptor the registry does not know, nor a number already
// closed and maybe reused.
class ClaimRegistry {
 public:
  static ClaimRegistry& instance() {
    // Never destroyed: claims may be let go during static destruction.
    static ClaimRegistry* registry = new ClaimRegistry();
    return *registry;
  }

  // Opens `name` in the directory open on `dir_fd` and takes the lock
  // without waiting: the descriptor, -1 when another holder has it, or the
  // failure (its errno, no context).
  Result<int, Error> claim(int dir_fd, const char* name) {
    auto fds = fds_.lock();
    UniqueFd fd(::openat(dir_fd, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) return Error::os(errno);
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return Ok<int>{-1};
      if (errno != EINTR) return Error::os(errno);
    }
    fds->push_back(fd.get());
    return Ok<int>{fd.release()};
  }

  // Closing the last descriptor of the open file ends the claim. No
  // explicit unlock: that would end it for every copy at once.
  void release(int fd) {
    auto fds = fds_.lock();
    std::erase(*fds, fd);
    ::close(fd);
  }

 private:
  ClaimRegistry() {
    ::pthread_atfork([] { instance().held_for_fork_.emplace(instance().fds_.lock()); },
                     [] { instance().held_for_fork_.reset(); }, [] { instance().close_all_in_child(); });
  }

  // Runs in the child, under the lock the prepare handler took.
  void close_all_in_child() {
    if (!held_for_fork_) return;
    std::vector<int>& fds = **held_for_fork_;
    for (int fd : fds) ::close(fd);
    fds.clear();
    held_for_fork_.reset();
  }

  // The descriptors of the claims.
  Mutex<std::vector<int>> fds_;
  // The lock on them, held by the thread that forks from before fork() to
  // after it, in the parent and in the child.
  std::optional<Mutex<std::vector<int>>::Guard> held_for_fork_;
};

}  // namespace

Result<std::optional<AccountLock>, Error> AccountLock::try_claim(std::string_view name, std::string_view dir) {
  auto opened = open_private_dir(std::string(dir), kLockDirMode);
  if (!opened) return err(std::move(opened).error());
  std::string file(name);
  auto claimed = ClaimRegistry::instance().claim(opened.value().get(), file.c_str());
  if (!claimed) return std::move(claimed).error().within(std::string(dir) + "/" + file);
  if (claimed.value() < 0) return Ok<std::optional<AccountLock>>{std::nullopt};
  return Ok<std::optional<AccountLock>>{AccountLock(claimed.value())};
}

AccountLock::AccountLock(int fd) noexcept : fd_(fd), owner_(::getpid()) {}

AccountLock::AccountLock(AccountLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)), owner_(other.owner_) {}

AccountLock& AccountLock::operator=(AccountLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    owner_ = other.owner_;
  }
  return *this;
}

AccountLock::~AccountLock() { release(); }

// The registry's lock is never poisoned (nothing under it panics), so taking
// it does not throw.
void AccountLock::release() noexcept {  // NOLINT(bugprone-exception-escape)
  if (fd_ < 0) return;
  // In a forked child the descriptor was closed at the fork; its number may
  // belong to something else by now.
  if (::getpid() == owner_) ClaimRegistry::instance().release(fd_);
  fd_ = -1;
}

}  // namespace marrowfen::pool
