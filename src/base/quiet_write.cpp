#include "base/quiet_write.h"

#include <signal.h>

#include <cerrno>
#include <ctime>

namespace marrowfen {
namespace {

// Blocks SIGPIPE on the calling thread for its lifetime. A SIGPIPE raised by
// a write of this thread is thread-directed, so it stays pending here and is
// consumed before the old mask comes back, unless one was pending already
// (that one belongs to someone else and is left alone).
class SigpipeBlock {
 public:
  SigpipeBlock() noexcept {
    sigemptyset(&pipe_only_);
    sigaddset(&pipe_only_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only_, &previous_mask_);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
  }
  ~SigpipeBlock() { pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr); }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  void consume_own_sigpipe() noexcept {
    if (was_pending_) return;
    const timespec no_wait{0, 0};
    while (sigtimedwait(&pipe_only_, nullptr, &no_wait) < 0 && errno == EINTR) {
    }
  }

 private:
  sigset_t pipe_only_;
  sigset_t previous_mask_;
  bool was_pending_ = false;
};

}  // namespace

int write_all_without_sigpipe(int fd, std::string_view data, Interruptible interruptible) noexcept {
  SigpipeBlock block;
  int e = write_all(fd, data, interruptible);
  if (e == EPIPE) block.consume_own_sigpipe();
  return e;
}

}  // namespace marrowfen
