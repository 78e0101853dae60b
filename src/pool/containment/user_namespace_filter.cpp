#include "pool/containment/user_namespace_filter.h"

#include <linux/audit.h>
#include <linux/seccomp.h>
#include <sched.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace marrowfen::pool {
namespace {

// The call numbers to check, per ABI.
struct Abi {
  uint32_t audit_arch;
  uint32_t clone;
  uint32_t unshare;
  uint32_t clone3;
  uint32_t number_mask;  // x32 calls carry a marker bit on the x86-64 numbers
};

#if defined(__x86_64__)
constexpr uint32_t kX32Bit = 0x40000000;
constexpr Abi kAbis[] = {
    {AUDIT_ARCH_X86_64, 56, 272, 435, ~kX32Bit},
    {AUDIT_ARCH_I386, 120, 310, 435, ~0U},
};
#elif defined(__aarch64__)
constexpr Abi kAbis[] = {
    {AUDIT_ARCH_AARCH64, 220, 97, 435, ~0U},
    {AUDIT_ARCH_ARM, 120, 337, 435, ~0U},
};
#else
#define MF_NO_USER_NAMESPACE_FILTER
#endif

#ifndef MF_NO_USER_NAMESPACE_FILTER
constexpr uint32_t kAllow = SECCOMP_RET_ALLOW;
constexpr uint32_t kRefuse = SECCOMP_RET_ERRNO | EPERM;
constexpr uint32_t kNoSuchCall = SECCOMP_RET_ERRNO | ENOSYS;

sock_filter statement(uint16_t code, uint32_t k) { return sock_filter{code, 0, 0, k}; }
sock_filter jump(uint16_t code, uint32_t k, uint8_t if_true, uint8_t if_false) {
  return sock_filter{code, if_true, if_false, k};
}

std::vector<sock_filter> build() {
  std::vector<sock_filter> code;
  constexpr uint32_t kArchOffset = offsetof(seccomp_data, arch);
  constexpr uint32_t kNrOffset = offsetof(seccomp_data, nr);
  // The low word of the first argument (flags), on a little-endian machine.
  constexpr uint32_t kFlagsOffset = offsetof(seccomp_data, args);
  for (const Abi& abi : kAbis) {
    // arch == abi.audit_arch, else on to the next ABI's block (12 long).
    code.push_back(statement(BPF_LD | BPF_W | BPF_ABS, kArchOffset));
    code.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, abi.audit_arch, 0, 10));
    code.push_back(statement(BPF_LD | BPF_W | BPF_ABS, kNrOffset));
    code.push_back(statement(BPF_ALU | BPF_AND | BPF_K, abi.number_mask));
    code.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, abi.clone3, 0, 1));
    code.push_back(statement(BPF_RET | BPF_K, kNoSuchCall));
    code.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, abi.clone, 1, 0));
    code.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, abi.unshare, 0, 3));
    code.push_back(statement(BPF_LD | BPF_W | BPF_ABS, kFlagsOffset));
    code.push_back(jump(BPF_JMP | BPF_JSET | BPF_K, CLONE_NEWUSER, 0, 1));
    code.push_back(statement(BPF_RET | BPF_K, kRefuse));
    code.push_back(statement(BPF_RET | BPF_K, kAllow));
  }
  code.push_back(statement(BPF_RET | BPF_K, kRefuse));
  return code;
}
#endif

}  // namespace

const sock_fprog* user_namespace_filter() {
#ifdef MF_NO_USER_NAMESPACE_FILTER
  return nullptr;
#else
  static const std::vector<sock_filter> code = build();
  static const sock_fprog program{static_cast<unsigned short>(code.size()), const_cast<sock_filter*>(code.data())};
  return &program;
#endif
}

}  // namespace marrowfen::pool
