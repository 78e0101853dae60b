// Steps shared by the children that run in this process's memory until
// they exec (vfork_child.h) or for their whole life (the namespace holder):
// raw system calls that leave errno alone (raw_syscall.h), no C library
// state, no sanitizer bookkeeping.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "pool/process/raw_syscall.h"
#include "pool/process/vfork_child.h"

namespace marrowfen::pool::raw {

// The kernel's form of a signal action, for rt_sigaction.
struct KernelSigaction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  uint64_t mask;
};
inline constexpr long kKernelSigsetSize = sizeof(uint64_t);
inline constexpr int kLastSignal = 64;

// Every signal at its default action: no handler of this process may run in
// the child once signals are unblocked.
MF_VFORK_CHILD_FUNCTION inline void reset_signal_actions() {
  KernelSigaction default_action{SIG_DFL, 0, nullptr, 0};
  for (int sig = 1; sig <= kLastSignal; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) call(SYS_rt_sigaction, sig, &default_action, nullptr, kKernelSigsetSize);
  }
}

// Closes every descriptor from `first` up, where close_range is missing too.
MF_VFORK_CHILD_FUNCTION inline void close_from(unsigned first) {
#ifdef SYS_close_range
  if (call(SYS_close_range, first, ~0U, 0U) == 0) return;
#endif
  rlimit limit{};
  long highest = 1024;
  if (call(SYS_prlimit64, 0, RLIMIT_NOFILE, nullptr, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    highest = static_cast<long>(limit.rlim_cur);
  }
  for (long fd = first; fd < highest; ++fd) call(SYS_close, fd);
}

}  // namespace marrowfen::pool::raw
