// Children that share the caller's memory until they exec or exit, as
// vfork() makes them, but on a stack of their own.
//
// Copying the page tables of a large process (a Python interpreter with its
// heap) costs far more than the child's work; a child made with CLONE_VM
// costs almost nothing. The price: the child runs in this process's memory,
// beside threads that may hold any lock, so its function may make raw
// system calls only (see the `child` functions that use this) and must be
// marked kChildFunction, so no sanitizer bookkeeping runs in it either.
#pragma once

#include <sys/types.h>

#include "base/error.h"
#include "base/result.h"

// For the functions that run in such a child. (Spelt as an attribute that
// both GCC and clang know: clang refuses gnu::no_sanitize.)
#define MF_VFORK_CHILD_FUNCTION __attribute__((no_sanitize("address", "thread", "undefined")))

namespace marrowfen::pool {

// Runs `child(arg)` in a new process (which gets SIGCHLD as its exit signal)
// and returns its pid once it has exec'd or exited; the calling thread is
// suspended until then. The error is the errno of the failure, without
// context.
Result<pid_t, Error> start_vfork_child(int (*child)(void*), void* arg);

// The C library's clone(), found once before any child needs it: a child
// that forks a child of its own calls it through this pointer.
using CloneFunction = int (*)(int (*)(void*), void*, int, void*, ...);
CloneFunction clone_function();

// clone() of `child(arg)` sharing this process's memory, on the stack that
// ends at `stack_top`, with `flags` (CLONE_VM and the exit signal are the
// caller's to give). The same rules apply to `child`. The error is clone's
// errno, without context.
Result<pid_t, Error> clone_in_this_memory(int (*child)(void*), void* arg, char* stack_top, int flags);

}  // namespace marrowfen::pool
