#include "pool/containment/tenant_cgroup.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <thread>

namespace marrowfen::pool {
namespace {

constexpr uint64_t kCpuPeriodMicros = 100000;
// How long a kill may take to empty a group before the release gives up
// on it (with a warning): dying processes leave within milliseconds.
constexpr std::chrono::milliseconds kKillBudget{3000};
constexpr std::chrono::microseconds kRetryPause{500};

// Writes `text` to a control file; the error is an errno. (O_CREAT only
// opens an existing control file; it lets a plain directory stand in for a
// group in tests.)
int write_control(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  ssize_t n = ::write(fd, text.data(), text.size());
  int error = n == static_cast<ssize_t>(text.size()) ? 0 : (n < 0 ? errno : EIO);
  ::close(fd);
  return error;
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::vector<pid_t> members(const std::string& dir) {
  std::vector<pid_t> pids;
  std::string text = read_host_file(dir + "/cgroup.procs").value_or("");
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    long pid = std::strtol(text.c_str() + at, nullptr, 10);
    if (pid > 0) pids.push_back(static_cast<pid_t>(pid));
    at = end + 1;
  }
  return pids;
}

// Stops the group (when it can be), kills every member, lets it go on to
// die, until no member is left or the budget is spent.
bool kill_members(const std::vector<std::string>& dirs, const std::string& freeze_file, const char* frozen,
                  const char* thawed) {
  auto deadline = std::chrono::steady_clock::now() + kKillBudget;
  for (;;) {
    bool frozen_now = !freeze_file.empty() && write_control(freeze_file, frozen) == 0;
    bool any = false;
    for (const std::string& dir : dirs) {
      for (pid_t pid : members(dir)) {
        any = true;
        ::kill(pid, SIGKILL);
      }
    }
    // A frozen task dies of SIGKILL only once thawed.
    if (frozen_now) (void)write_control(freeze_file, thawed);
    if (!any) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(kRetryPause);
  }
}

// rmdir, retried while the last members are still leaving.
int remove_dir(const std::string& dir) {
  auto deadline = std::chrono::steady_clock::now() + kKillBudget;
  for (;;) {
    if (::rmdir(dir.c_str()) == 0 || errno == ENOENT) return 0;
    if (errno != EBUSY || std::chrono::steady_clock::now() > deadline) return errno;
    std::this_thread::sleep_for(kRetryPause);
  }
}

std::string decimal(uint64_t value) { return std::to_string(value); }

}  // namespace

Result<void, Error> kill_and_remove_group(CgroupVersion version, const std::vector<std::string>& dirs,
                                          const std::string& freezer_dir) {
  std::vector<std::string> present;
  for (const std::string& dir : dirs) {
    if (exists(dir)) present.push_back(dir);
  }
  if (present.empty()) return {};
  bool emptied;
  if (version == CgroupVersion::kV2) {
    // One write kills them all; older kernels without cgroup.kill freeze.
    const std::string& dir = present.front();
    if (write_control(dir + "/cgroup.kill", "1") == 0) {
      emptied = kill_members(present, "", "", "");
    } else {
      emptied = kill_members(present, dir + "/cgroup.freeze", "1", "0");
    }
  } else {
    std::string freeze_file = !freezer_dir.empty() && exists(freezer_dir) ? freezer_dir + "/freezer.state" : "";
    emptied = kill_members(present, freeze_file, "FROZEN", "THAWED");
  }
  if (!emptied) return Error::text("Failed to kill every process of the control group " + present.front());
  for (const std::string& dir : present) {
    if (int e = remove_dir(dir)) return Error::os(e, "Failed to remove the control group " + dir);
  }
  return {};
}

Result<TenantCgroup, Error> TenantCgroup::create(const CgroupLayout& layout, const std::string& account,
                                                 const ContainmentOptions& options) {
  TenantCgroup group;
  group.version_ = layout.version;
  for (const CgroupLayout::Hierarchy& h : layout.hierarchies) {
    std::string dir = h.base + "/" + account;
    group.dirs_.push_back(dir);
    for (const std::string& controller : h.controllers) {
      if (controller == "freezer") group.freezer_dir_ = dir;
    }
  }
  // One left by an owner that died before its release.
  MF_TRY(kill_and_remove_group(group.version_, group.dirs_, group.freezer_dir_));

  auto undo = [&group](Error failure) {
    (void)group.kill_and_remove();
    return failure;
  };
  for (size_t i = 0; i < layout.hierarchies.size(); ++i) {
    const CgroupLayout::Hierarchy& h = layout.hierarchies[i];
    if (::mkdir(h.base.c_str(), 0755) < 0 && errno != EEXIST) {
      return Error::os(errno, "Failed to make the control group " + h.base);
    }
    if (layout.version == CgroupVersion::kV2 && !h.controllers.empty()) {
      // The controllers reach the tenant's group through ours, all in one write.
      std::string enable;
      for (const std::string& controller : h.controllers) enable += (enable.empty() ? "+" : " +") + controller;
      std::string parent = h.base.substr(0, h.base.find_last_of('/'));
      for (const std::string& dir : {parent, h.base}) {
        if (int e = write_control(dir + "/cgroup.subtree_control", enable)) {
          return Error::os(e, "Failed to enable the controllers (" + enable + ") in " + dir);
        }
      }
    }
    if (::mkdir(group.dirs_[i].c_str(), 0755) < 0) {
      return undo(Error::os(errno, "Failed to make the control group " + group.dirs_[i]));
    }
    // v1: the thread's own file. A process that writes "0" there moves
    // itself without the kernel's global lock of every thread group (whose
    // writer waits for an RCU grace period: milliseconds on a busy host),
    // and a process about to exec has one thread.
    group.join_files_.push_back(group.dirs_[i] + (layout.version == CgroupVersion::kV1 ? "/tasks" : "/cgroup.procs"));
  }

  // The limits, each in the hierarchy that has its controller.
  auto set = [&](const char* controller, const std::string& file, const std::string& value) -> Result<void, Error> {
    for (size_t i = 0; i < layout.hierarchies.size(); ++i) {
      for (const std::string& c : layout.hierarchies[i].controllers) {
        if (c != controller) continue;
        std::string path = group.dirs_[i] + "/" + file;
        if (int e = write_control(path, value)) return undo(Error::os(e, "Failed to write " + path));
      }
    }
    return {};
  };
  bool v2 = layout.version == CgroupVersion::kV2;
  if (options.max_processes) MF_TRY(set("pids", "pids.max", decimal(*options.max_processes)));
  if (options.memory_limit) {
    std::string bytes = decimal(*options.memory_limit);
    MF_TRY(set("memory", v2 ? "memory.max" : "memory.limit_in_bytes", bytes));
    if (layout.swap_accounting)
      MF_TRY(set("memory", v2 ? "memory.swap.max" : "memory.memsw.limit_in_bytes", v2 ? "0" : bytes));
  }
  if (options.cpu_limit) {
    uint64_t quota = static_cast<uint64_t>(std::llround(*options.cpu_limit * kCpuPeriodMicros));
    if (v2) {
      MF_TRY(set("cpu", "cpu.max", decimal(quota) + " " + decimal(kCpuPeriodMicros)));
    } else {
      MF_TRY(set("cpu", "cpu.cfs_period_us", decimal(kCpuPeriodMicros)));
      MF_TRY(set("cpu", "cpu.cfs_quota_us", decimal(quota)));
    }
  }
  return Ok<TenantCgroup>{std::move(group)};
}

Result<void, Error> TenantCgroup::kill_and_remove() {
  if (dirs_.empty()) return {};
  auto done = kill_and_remove_group(version_, dirs_, freezer_dir_);
  if (done) {
    dirs_.clear();
    join_files_.clear();
  }
  return done;
}

}  // namespace marrowfen::pool
