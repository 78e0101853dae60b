// A tenant's control group: its process, memory and CPU budget, made at
// hand-out in every hierarchy of the pool's layout (cgroup_layout.h) and
// killed whole and removed at release.
//
// Limits written (v2 / v1):
//   max_processes  pids.max / pids.max
//   memory_limit   memory.max, memory.swap.max 0 (no swap beyond it)
//                  / memory.limit_in_bytes, memory.memsw.limit_in_bytes
//                  (swap included where the host accounts swap)
//   cpu_limit      cpu.max "quota 100000" / cpu.cfs_quota_us, cpu.cfs_period_us
// The kill: v2 writes cgroup.kill (the kernel kills every member at once);
// v1 freezes the group (when the freezer is mounted, so nothing forks
// meanwhile), sends SIGKILL to every member, thaws it and repeats until it
// is empty. A group is removed once empty; one left over by a process that
// died before its release is killed and removed before its account's next
// hand-out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/result.h"
#include "pool/containment/cgroup_layout.h"
#include "pool/containment/containment_options.h"

namespace marrowfen::pool {

class TenantCgroup {
 public:
  // Makes the group of `account` (removing a stale one first) and writes
  // the limits of `options`. The error says what failed; nothing is left.
  static Result<TenantCgroup, Error> create(const CgroupLayout& layout, const std::string& account,
                                            const ContainmentOptions& options);
  TenantCgroup(TenantCgroup&&) noexcept = default;
  TenantCgroup& operator=(TenantCgroup&&) noexcept = default;
  TenantCgroup(const TenantCgroup&) = delete;
  TenantCgroup& operator=(const TenantCgroup&) = delete;

  // Kills every member and removes the group's directories. Idempotent; the
  // error is what the release warns of (what could not be killed or removed).
  Result<void, Error> kill_and_remove();

  // The files a joining process writes "0" into, to enter the group:
  // cgroup.procs (v2), tasks (v1).
  const std::vector<std::string>& join_files() const { return join_files_; }
  const std::vector<std::string>& dirs() const { return dirs_; }

 private:
  TenantCgroup() = default;

  CgroupVersion version_ = CgroupVersion::kV2;
  std::vector<std::string> dirs_;  // one per hierarchy
  std::string freezer_dir_;        // v1, when the freezer is mounted
  std::vector<std::string> join_files_;
};

// Kills and removes the group directories `dirs` of one version, if they
// exist (the stale-group step and the release share it). The error is what
// the release warns of.
Result<void, Error> kill_and_remove_group(CgroupVersion version, const std::vector<std::string>& dirs,
                                          const std::string& freezer_dir);

}  // namespace marrowfen::pool
