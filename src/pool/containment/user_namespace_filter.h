// The seccomp filter that keeps an isolated tenant from making user
// namespaces, so it never becomes uid 0 anywhere: clone and unshare with
// CLONE_NEWUSER fail with EPERM, and clone3 (whose flags a filter cannot
// read) with ENOSYS, on which the C library falls back to clone. Every ABI
// a process of this architecture can call in is covered (on x86-64 also
// i386 and x32); an ABI the filter does not know gets EPERM for every call.
#pragma once

#include <linux/filter.h>

namespace marrowfen::pool {

// The program, built once; installed with seccomp(SECCOMP_SET_MODE_FILTER)
// by a process that may (root, or no_new_privs set).
const sock_fprog& user_namespace_filter();

}  // namespace marrowfen::pool
