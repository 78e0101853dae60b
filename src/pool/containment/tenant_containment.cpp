#include "pool/containment/tenant_containment.h"

#include <sched.h>

#include "pool/containment/user_namespace_filter.h"

namespace marrowfen::pool {

Result<std::unique_ptr<TenantContainment>, Error> TenantContainment::create(const ContainmentOptions& options,
                                                                            const std::optional<CgroupLayout>& cgroups,
                                                                            const std::string& account,
                                                                            const std::string& home) {
  std::unique_ptr<TenantContainment> contained(new TenantContainment());
  contained->options_ = options;
  if (options.needs_cgroup()) {
    if (!cgroups) return Error::text("no control group layout for the limits");
    MF_TRY_ASSIGN(TenantCgroup group, TenantCgroup::create(*cgroups, account, options));
    contained->cgroup_.emplace(std::move(group));
  }
  if (options.needs_holder()) {
    HolderRequest request{options.isolate, !options.network, options.private_tmp_size(), home};
    auto holder = NamespaceHolder::start(request);
    if (!holder) {
      (void)contained->end();
      return err(std::move(holder).error());
    }
    contained->holder_ = std::move(holder).value();
  }
  return Ok<std::unique_ptr<TenantContainment>>{std::move(contained)};
}

TenantContainment::~TenantContainment() {
  if (!owner_.is_current()) {
    // A forked copy: the holder is the parent's, and so is ending it.
    [[maybe_unused]] NamespaceHolder* parents = holder_.release();
    return;
  }
  (void)end();
}

std::vector<Error> TenantContainment::end() {
  std::vector<Error> problems;
  if (!owner_.is_current()) return problems;
  // The holder first: its death ends its whole PID namespace in one step.
  if (holder_) {
    if (auto ended = holder_->end(); !ended) problems.push_back(std::move(ended).error());
    holder_.reset();
  }
  if (cgroup_) {
    if (auto removed = cgroup_->kill_and_remove(); !removed) {
      problems.push_back(std::move(removed).error());
    } else {
      cgroup_.reset();
    }
  }
  return problems;
}

TenantJoin TenantContainment::join() const {
  TenantJoin join;
  if (holder_) {
    for (const NamespaceFd& ns : holder_->namespaces()) join.namespaces.push_back({ns.fd.get(), ns.type});
    join.pid_namespace = options_.isolate;
  }
  if (cgroup_) join.cgroup_join_files = cgroup_->join_files();
  join.max_processes = options_.max_processes;
  if (options_.isolate) join.seccomp = user_namespace_filter();
  return join;
}

}  // namespace marrowfen::pool
