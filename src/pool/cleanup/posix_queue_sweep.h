// Removing the POSIX message queues an account owns. They live in the IPC
// namespace, not in any process, so a tenant's queue would otherwise be there
// for the next tenant of the same account to open.
//
// The queues show as files only where their filesystem is mounted, and many
// hosts do not mount it at /dev/mqueue. So the sweep makes a mount of its own
// that no path leads to (fsopen and fsmount: nothing changes in any mount
// namespace, and it goes when its descriptor is closed), once per process,
// and falls back to /dev/mqueue where it cannot (an older kernel, no right
// to mount).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"

namespace marrowfen::pool {

// Removes every queue of the current IPC namespace owned by `uid`. A kernel
// without POSIX queues has none to remove; queues that cannot be reached or
// removed are one problem each.
std::vector<Error> sweep_posix_queues(uint32_t uid);

}  // namespace marrowfen::pool
