// The one place that owns a tenant's containment: its namespace holder and
// its control group, beside the account's claim in the user record. Made at
// hand-out, after the sweep and the new home; ended at release, before the
// kill loop and the sweep.
//
// What every process of the tenant enters before it runs anything of the
// tenant's (TenantJoin, done by the spawn's child, tenant_process.h): the
// holder's namespaces, the control group, RLIMIT_NPROC at the process
// limit (a second line against fork storms: it counts the account's
// processes across the host), and the filter against user namespaces.
#pragma once

#include <linux/filter.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/result.h"
#include "pool/account/owner_process.h"
#include "pool/containment/cgroup_layout.h"
#include "pool/containment/containment_options.h"
#include "pool/containment/namespace_holder.h"
#include "pool/containment/tenant_cgroup.h"

namespace marrowfen::pool {

// Borrowed from a live TenantContainment: valid while it is.
struct TenantJoin {
  struct Namespace {
    int fd;
    int type;  // CLONE_NEW*
  };
  std::vector<Namespace> namespaces;           // setns order; the mount namespace last
  bool pid_namespace = false;                  // the tenant's process is forked after setns
  std::vector<std::string> cgroup_join_files;  // written "0" by the joining process
  std::optional<uint64_t> max_processes;
  const sock_fprog* seccomp = nullptr;  // against user namespaces
};

class TenantContainment {
 public:
  // Contains `account` (home `home`) as `options` ask, its group in
  // `cgroups` when there are limits. The error says what failed; nothing
  // of it is left then.
  static Result<std::unique_ptr<TenantContainment>, Error> create(const ContainmentOptions& options,
                                                                  const std::optional<CgroupLayout>& cgroups,
                                                                  const std::string& account, const std::string& home);
  TenantContainment(const TenantContainment&) = delete;
  TenantContainment& operator=(const TenantContainment&) = delete;
  // end(), its failures dropped; in a forked child, nothing.
  ~TenantContainment();

  // Kills the holder (every process of the tenant's PID namespace with it)
  // and the group's members, then removes the group. Idempotent; in a
  // forked child it does nothing. One error per problem, for the release
  // to warn of.
  std::vector<Error> end();

  TenantJoin join() const;

  // Whether every process of the tenant lived in the holder's PID namespace
  // (isolate), so that ending the holder ended all of them.
  bool held_every_process() const { return options_.isolate; }

 private:
  TenantContainment() = default;

  ContainmentOptions options_;
  std::unique_ptr<NamespaceHolder> holder_;
  std::optional<TenantCgroup> cgroup_;
  OwnerProcess owner_;
};

}  // namespace marrowfen::pool
