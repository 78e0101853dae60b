#include "pool/account_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <utility>
#include <vector>

#include "base/os_error.h"
#include "pool/private_dir.h"
#include "pool/unique_fd.h"

namespace marrowfen::pool {
namespace {

// Root only: the account names in use are nobody else's business.
constexpr mode_t kLockDirMode = 0700;

// The claims this process holds, so that a child made by fork() can close
// its copies before it does anything else.
class ClaimRegistry {
 public:
  static ClaimRegistry& instance() {
    // Never destroyed: claims may be let go during static destruction.
    static ClaimRegistry* registry = new ClaimRegistry();
    return *registry;
  }

  void add(int fd) {
    std::lock_guard lock(mutex_);
    fds_.push_back(fd);
  }
  void remove(int fd) {
    std::lock_guard lock(mutex_);
    fds_.erase(std::remove(fds_.begin(), fds_.end(), fd), fds_.end());
  }

 private:
  ClaimRegistry() {
    // The registry is held across fork(), so the child's copy is consistent.
    ::pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                     [] { instance().close_all_in_child(); });
  }

  void close_all_in_child() {
    for (int fd : fds_) ::close(fd);
    fds_.clear();
    mutex_.unlock();
  }

  std::mutex mutex_;
  std::vector<int> fds_;
};

}  // namespace

Result<std::optional<AccountLock>, std::string> AccountLock::try_claim(std::string_view name,
                                                                       std::string_view dir) {
  ClaimRegistry& registry = ClaimRegistry::instance();
  auto opened = open_private_dir(std::string(dir), kLockDirMode);
  if (!opened) return err(std::move(opened).error());
  std::string file(name);
  UniqueFd fd(::openat(opened.value().get(), file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return err(std::string(dir) + "/" + file + ": " + os_error_text(errno));
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return Ok<std::optional<AccountLock>>{std::nullopt};
    if (errno != EINTR) return err(std::string(dir) + "/" + file + ": " + os_error_text(errno));
  }
  registry.add(fd.get());
  return Ok<std::optional<AccountLock>>{AccountLock(fd.release())};
}

AccountLock::AccountLock(int fd) noexcept : fd_(fd), owner_(::getpid()) {}

AccountLock::AccountLock(AccountLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), owner_(other.owner_) {}

AccountLock& AccountLock::operator=(AccountLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    owner_ = other.owner_;
  }
  return *this;
}

AccountLock::~AccountLock() { release(); }

void AccountLock::release() noexcept {
  if (fd_ < 0) return;
  // In a forked child the descriptor was closed at the fork; its number may
  // belong to something else by now.
  if (::getpid() == owner_) {
    ClaimRegistry::instance().remove(fd_);
    // Closing the last descriptor of the open file ends the claim. No
    // explicit unlock: that would end it for every copy at once.
    ::close(fd_);
  }
  fd_ = -1;
}

}  // namespace marrowfen::pool
