#include "pool/vfork_child.h"

#include <sched.h>
#include <signal.h>

#include <cerrno>
#include <memory>
#include <new>

namespace marrowfen::pool {
namespace {

constexpr size_t kChildStackSize = 64 * 1024;

}  // namespace

Result<pid_t, int> start_vfork_child(int (*child)(void*), void* arg) {
  std::unique_ptr<char[]> stack(new (std::nothrow) char[kChildStackSize]);
  if (!stack) return err(ENOMEM);
  // The stack grows down on every architecture this builds for.
  pid_t pid = ::clone(child, stack.get() + kChildStackSize, CLONE_VM | CLONE_VFORK | SIGCHLD, arg);
  if (pid < 0) return err(errno);
  return Ok<pid_t>{pid};
}

}  // namespace marrowfen::pool
