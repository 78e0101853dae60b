// The seccomp filter that keeps an isolated tenant from making user
// namespaces, so it never becomes uid 0 anywhere: clone and unshare with
// CLONE_NEWUSER fail with EPERM, and clone3 (whose flags a filter cannot
// read) with ENOSYS, on which the C library falls back to clone. Every ABI
// a process of this architecture can call in is covered (on x86-64 also
// i386 and x32); an ABI the filter does not know gets EPERM for every call.
// On an architecture whose call numbers it does not know there is no filter,
// and a pool refuses isolate=True there.
#pragma once

#include <linux/filter.h>

namespace marrowfen::pool {

// The program, built once; installed with seccomp(SECCOMP_SET_MODE_FILTER)
// by a process that may (root, or no_new_privs set). nullptr where this
// architecture is unknown to it.
const sock_fprog* user_namespace_filter();

}  // namespace marrowfen::pool
