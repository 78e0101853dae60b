// Whether this host can contain tenants as a pool asks, checked when the
// pool is made, by reading only: nothing happens on the host until an
// account is handed out.
#pragma once

#include <optional>
#include <string>

#include "base/error.h"
#include "base/result.h"
#include "pool/containment/cgroup_layout.h"
#include "pool/containment/containment_options.h"

namespace marrowfen::pool {

// The control group layout the limits use (nullopt when they need none),
// or the refusal naming the argument whose need the host cannot meet
// (no errno): "argument 'isolate': needs root, and this process runs as uid
// 1000".
Result<std::optional<CgroupLayout>, Error> check_host_support(const ContainmentOptions& options);

}  // namespace marrowfen::pool
