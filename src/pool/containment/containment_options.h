// What a pool is asked to keep its tenants from: the options of a contained
// pool, and their validation. The defaults contain nothing, so a pool made
// without options behaves as an uncontained one always has.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/error.h"
#include "base/result.h"

namespace marrowfen::pool {

// The size of each private tmpfs (/tmp, /var/tmp, /dev/shm, /run/lock) of an
// isolated tenant when the pool names none: 64 MiB, so four of them stay
// far below what an unsized tmpfs may take (half the memory each).
inline constexpr uint64_t kDefaultTmpSize = uint64_t{64} << 20;
// The smallest memory and tmpfs budgets accepted: below a mebibyte not even
// the shell starts.
inline constexpr uint64_t kMinimumBudgetBytes = uint64_t{1} << 20;
// CPU budgets, in CPUs: the kernel's smallest quota is a hundredth of a CPU.
inline constexpr double kMinimumCpuLimit = 0.01;
inline constexpr double kMaximumCpuLimit = 65536;

struct ContainmentOptions {
  // Own process tree, mounts (/tmp and friends, /proc), IPC and host name,
  // and no user namespaces.
  bool isolate = false;
  // False: an own network namespace with loopback alone.
  bool network = true;
  std::optional<uint64_t> max_processes;  // tasks of the tenant at once
  std::optional<uint64_t> memory_limit;   // bytes, swap included
  std::optional<double> cpu_limit;        // CPUs
  std::optional<uint64_t> tmp_size;       // bytes per private tmpfs

  // A process of ours that holds the tenant's namespaces.
  bool needs_holder() const { return isolate || !network; }
  // A control group with limits.
  bool needs_cgroup() const { return max_processes || memory_limit || cpu_limit; }
  bool contains_anything() const { return needs_holder() || needs_cgroup(); }
  uint64_t private_tmp_size() const { return tmp_size.value_or(kDefaultTmpSize); }
};

// A refused option, the argument named first (no errno):
// "argument 'memory_limit': must be at least 1048576 bytes (1 MiB), got 5".
Error argument_error(const char* argument, const std::string& reason);

// The options as the caller gave them (a negative count or NaN included),
// checked one by one in the order of the parameters.
struct RequestedContainment {
  bool isolate = false;
  bool network = true;
  std::optional<int64_t> max_processes;
  std::optional<int64_t> memory_limit;
  std::optional<double> cpu_limit;
  std::optional<int64_t> tmp_size;
};

Result<ContainmentOptions, Error> validate_containment(const RequestedContainment& requested);

}  // namespace marrowfen::pool
