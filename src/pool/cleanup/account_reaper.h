// Killing every process of an account, including ones that ignore SIGTERM or
// keep forking new children faster than a scan-and-kill loop can follow, and
// emptying the kernel keyrings that outlive them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/result.h"

namespace marrowfen::pool {

// How long kill_account_processes keeps trying before it gives up.
inline constexpr std::chrono::milliseconds kReapBudget{3000};

// Repeatedly has a helper child take on the account's ids (every one of them,
// so it keeps no root id) and send SIGKILL to every process it may signal,
// which is exactly the account's processes, all at once; until there is
// nothing left to signal or /proc shows no live process of `uid`. An account
// without processes costs one helper child and no look at /proc. Once
// nothing of the account runs, the same kind of child (as the account, so the
// kernel's own rules decide what it may clear) empties its user,
// user-session and persistent keyrings, which would otherwise hand a
// tenant's keys to the next one; a kernel without keyrings is no error. The
// error says why some process may survive or a keyring stay filled; the
// value, whether there was any process to kill.
// Refuses uid 0, whose "every process" is every process of the host.
Result<bool, Error> kill_account_processes(uint32_t uid, std::chrono::milliseconds budget = kReapBudget);

// The live (not zombie, not dead) processes whose real, effective or saved
// uid is `uid`, from /proc. The error is an errno, without context.
Result<std::vector<pid_t>, Error> live_processes_of(uint32_t uid);

}  // namespace marrowfen::pool
