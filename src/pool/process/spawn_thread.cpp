#include "pool/process/spawn_thread.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "base/mutex.h"
#include "pool/account/owner_process.h"

namespace marrowfen::pool {
namespace {

// Every signal blocked on the calling thread, for the object's lifetime.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous_);
  }
  ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

class SpawnThread {
 public:
  // Starts the thread; the error is its errno.
  Result<void, Error> start() {
    // The new thread inherits this mask: no signal is ever handled there,
    // and the children it creates start with every signal blocked until
    // they have reset their handlers.
    AllSignalsBlocked blocked;
    try {
      std::thread(&SpawnThread::serve, this).detach();
    } catch (const std::system_error& error) {
      return Error::os(error.code().value() != 0 ? error.code().value() : EAGAIN);
    }
    return {};
  }

  void run(const std::function<void()>& work) {
    std::lock_guard one_at_a_time(callers_);
    job_.store(&work);
    job_.notify_all();
    job_.wait(&work);  // until serve() has run it and set it back to null
  }

  const OwnerProcess& owner() const { return owner_; }

 private:
  void serve() {
    for (;;) {
      job_.wait(nullptr);
      (*job_.load())();
      job_.store(nullptr);
      job_.notify_all();
    }
  }

  OwnerProcess owner_;
  // Guards no data: callers take turns posting a job and waiting for it.
  std::mutex callers_;
  // The job being run, or null. An atomic wait rather than a condition
  // variable: condition_variable::wait carries a libstdc++ symbol version
  // that would raise the wheel's manylinux tag.
  std::atomic<const std::function<void()>*> job_ = nullptr;
};

// The spawn thread of this process, once there is one. Its lock is held
// across fork() by the thread that forks, so that the child finds it free.
Mutex<SpawnThread*> current{nullptr};
std::optional<Mutex<SpawnThread*>::Guard> current_held_for_fork;

[[maybe_unused]] const bool current_held_across_fork =
    ::pthread_atfork([] { current_held_for_fork.emplace(current.lock()); }, [] { current_held_for_fork.reset(); },
                     [] { current_held_for_fork.reset(); }) == 0;

}  // namespace

Result<void, Error> run_on_spawn_thread(const std::function<void()>& work) {
  if (::gettid() == ::getpid()) {
    // As on the spawn thread, a child starts with every signal blocked, so no
    // handler of ours runs in it before it has reset them.
    AllSignalsBlocked blocked;
    work();
    return {};
  }
  SpawnThread* thread = nullptr;
  {
    auto existing = current.lock();
    // A parent's thread, copied by fork(), does not run here: it is left
    // alone (its locks may be held by threads that do not exist here).
    if (*existing == nullptr || !(*existing)->owner().is_current()) {
      auto* fresh = new SpawnThread();
      if (auto started = fresh->start(); !started) {
        delete fresh;
        return started;
      }
      *existing = fresh;
    }
    thread = *existing;
  }
  thread->run(work);
  return {};
}

}  // namespace marrowfen::pool
