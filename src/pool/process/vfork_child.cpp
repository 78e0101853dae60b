#include "pool/process/vfork_child.h"

#include <dlfcn.h>
#include <sched.h>
#include <signal.h>

#include <cerrno>
#include <memory>
#include <new>

namespace marrowfen::pool {
namespace {

constexpr size_t kChildStackSize = size_t{64} * 1024;

// The C library's own clone. ThreadSanitizer intercepts clone() to treat
// the child as a forked copy, and resets its bookkeeping there; a child that
// shares our memory would rewrite that bookkeeping under the parent's feet.
CloneFunction libc_clone() {
  static const CloneFunction clone_fn = [] {
    void* libc = ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    void* symbol = libc != nullptr ? ::dlsym(libc, "clone") : nullptr;
    return symbol != nullptr ? reinterpret_cast<CloneFunction>(symbol) : &::clone;
  }();
  return clone_fn;
}

}  // namespace

Result<pid_t, Error> start_vfork_child(int (*child)(void*), void* arg) {
  std::unique_ptr<char[]> stack(new (std::nothrow) char[kChildStackSize]);
  if (!stack) return Error::os(ENOMEM);
  // The stack grows down on every architecture this builds for.
  return clone_in_this_memory(child, arg, stack.get() + kChildStackSize, CLONE_VM | CLONE_VFORK | SIGCHLD);
}

CloneFunction clone_function() { return libc_clone(); }

Result<pid_t, Error> clone_in_this_memory(int (*child)(void*), void* arg, char* stack_top, int flags) {
  pid_t pid = libc_clone()(child, stack_top, flags, arg);
  if (pid < 0) return Error::os(errno);
  return Ok<pid_t>{pid};
}

}  // namespace marrowfen::pool
