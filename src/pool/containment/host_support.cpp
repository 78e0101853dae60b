#include "pool/containment/host_support.h"

#include <unistd.h>

#include "pool/containment/user_namespace_filter.h"

namespace marrowfen::pool {
namespace {

bool exists(const char* path) { return ::access(path, F_OK) == 0; }

// The option whose need is checked: the first one given, in parameter order.
const char* first_cgroup_argument(const ContainmentOptions& options) {
  if (options.max_processes) return "max_processes";
  if (options.memory_limit) return "memory_limit";
  return "cpu_limit";
}

Result<void, Error> check_namespaces(const ContainmentOptions& options) {
  const char* argument = options.isolate ? "isolate" : "network";
  if (::geteuid() != 0) {
    return argument_error(argument, "needs root, and this process runs as uid " + std::to_string(::geteuid()));
  }
  struct Need {
    bool wanted;
    const char* argument;
    const char* path;
    const char* what;
  };
  const Need needs[] = {
      {options.isolate, "isolate", "/proc/self/ns/pid", "PID namespaces"},
      {options.isolate, "isolate", "/proc/self/ns/mnt", "mount namespaces"},
      {options.isolate, "isolate", "/proc/self/ns/ipc", "IPC namespaces"},
      {options.isolate, "isolate", "/proc/self/ns/uts", "UTS namespaces"},
      {!options.network, "network", "/proc/self/ns/net", "network namespaces"},
  };
  for (const Need& need : needs) {
    if (need.wanted && !exists(need.path)) {
      return argument_error(need.argument, std::string("needs ") + need.what + ", which this kernel does not have");
    }
  }
  if (options.isolate) {
    std::optional<std::string> filesystems = read_host_file("/proc/filesystems");
    if (!filesystems || filesystems->find("\ttmpfs\n") == std::string::npos) {
      return argument_error("isolate", "needs tmpfs, which this kernel does not have");
    }
    std::optional<std::string> status = read_host_file("/proc/self/status");
    if (!status || status->find("\nSeccomp:") == std::string::npos) {
      return argument_error("isolate", "needs seccomp filters, which this kernel does not have");
    }
    if (user_namespace_filter() == nullptr) {
      return argument_error("isolate", "has no filter against user namespaces for this architecture");
    }
  }
  return {};
}

}  // namespace

Result<std::optional<CgroupLayout>, Error> check_host_support(const ContainmentOptions& options) {
  if (options.needs_holder()) MF_TRY(check_namespaces(options));
  if (!options.needs_cgroup()) return Ok<std::optional<CgroupLayout>>{std::nullopt};
  if (::geteuid() != 0) {
    return argument_error(first_cgroup_argument(options),
                          "needs root, and this process runs as uid " + std::to_string(::geteuid()));
  }
  CgroupNeeds needs{options.max_processes.has_value(), options.memory_limit.has_value(), options.cpu_limit.has_value()};
  CgroupLayoutResult found = find_cgroup_layout(needs, this_host_cgroups());
  if (!found.layout)
    return argument_error(first_cgroup_argument(options),
                          "needs " + found.missing + ", which this host does not mount");
  return Ok<std::optional<CgroupLayout>>{std::move(found.layout)};
}

}  // namespace marrowfen::pool
