// The process that made an object of the pool.
//
// A child made by fork() gets copies of the parent's pools, users and
// sessions, but the accounts, shells and claims behind them stay the
// parent's. In the child those copies must not act on the host: destroying
// them kills nothing, releases nothing and sweeps nothing, and their methods
// refuse to run.
#pragma once

#include <sys/types.h>
#include <unistd.h>

namespace marrowfen::pool {

class OwnerProcess {
 public:
  OwnerProcess() noexcept : pid_(::getpid()) {}
  // Whether the calling process is the one that made the object.
  bool is_current() const noexcept { return ::getpid() == pid_; }
  pid_t pid() const noexcept { return pid_; }

 private:
  pid_t pid_;
};

}  // namespace marrowfen::pool
