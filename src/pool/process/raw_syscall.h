// System calls that leave errno alone, for a child that shares this
// process's memory for its whole life (the namespace holder). Such a child
// has no thread-local storage of its own: it runs on that of the thread that
// made it (often the main thread), whose errno the C library's syscall()
// would overwrite at any moment while that thread goes on.
#pragma once

#include <type_traits>

#include "pool/process/vfork_child.h"

#if !defined(__x86_64__) && !defined(__aarch64__)
#include <unistd.h>

#include <cerrno>
#endif

namespace marrowfen::pool::raw {

template <class T>
MF_VFORK_CHILD_FUNCTION inline long word(T value) {
  if constexpr (std::is_null_pointer_v<T>) {
    return 0;
  } else if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<long>(value);
  } else {
    return static_cast<long>(value);
  }
}

MF_VFORK_CHILD_FUNCTION inline long syscall6(long number, long a1, long a2, long a3, long a4, long a5, long a6) {
#if defined(__x86_64__)
  register long r10 __asm__("r10") = a4;
  register long r8 __asm__("r8") = a5;
  register long r9 __asm__("r9") = a6;
  long result;
  __asm__ volatile("syscall"
                   : "=a"(result)
                   : "a"(number), "D"(a1), "S"(a2), "d"(a3), "r"(r10), "r"(r8), "r"(r9)
                   : "rcx", "r11", "memory");
  return result;
#elif defined(__aarch64__)
  register long x8 __asm__("x8") = number;
  register long x0 __asm__("x0") = a1;
  register long x1 __asm__("x1") = a2;
  register long x2 __asm__("x2") = a3;
  register long x3 __asm__("x3") = a4;
  register long x4 __asm__("x4") = a5;
  register long x5 __asm__("x5") = a6;
  __asm__ volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x5) : "memory");
  return x0;
#else
  // Elsewhere the C library's call, errno and all.
  long result = ::syscall(number, a1, a2, a3, a4, a5, a6);
  return result < 0 ? -errno : result;
#endif
}

// System call `number` with up to six arguments: its value, or -errno.
template <class... Args>
MF_VFORK_CHILD_FUNCTION inline long call(long number, Args... args) {
  static_assert(sizeof...(Args) <= 6, "a system call takes at most six arguments");
  long words[6] = {word(args)...};
  return syscall6(number, words[0], words[1], words[2], words[3], words[4], words[5]);
}

}  // namespace marrowfen::pool::raw
