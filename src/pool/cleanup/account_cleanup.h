// Ending a tenant's turn on an account: none of its processes survives, and
// nothing it left in the places every user shares is there for the next
// tenant. Run by the release of an account and again before every hand-out,
// since an owner that died without a release (killed, crashed) left the
// account as its tenant had it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"
#include "pool/cleanup/scheduled_jobs.h"

namespace marrowfen::pool {

// How long the sweep of leftovers may take before it gives up.
inline constexpr std::chrono::milliseconds kSweepBudget{5000};

inline constexpr const char* kKillWarning = "⚠️ Failed to kill all processes of the user: ";
inline constexpr const char* kLeftoverWarning = "⚠️ Failed to remove what the user left behind: ";

// Where a tenant can leave something behind. Tests point these elsewhere.
struct LeftoverPlaces {
  // Directories every user may write (/var/lock is a link to /run/lock);
  // the entries of /dev/mqueue are the POSIX message queues, where their
  // filesystem is mounted.
  std::vector<std::string> shared_dirs = {"/tmp", "/var/tmp", "/dev/shm", "/run/lock", "/dev/mqueue"};
  // Left to their own logic (the home root under /tmp).
  std::vector<std::string> left_alone;
  std::string sysvipc_dir = "/proc/sysvipc";
  JobSpools spools;
};

// The places of this host: the defaults, with the home root left alone.
const LeftoverPlaces& host_leftover_places();

// Removes what account `uid` (named `name`) owns in `places`: entries in the
// shared directories (see shared_dir_sweep.h), System V IPC objects, its
// crontab and at jobs. Run only once its processes are gone. One text per
// problem; stops after `budget`.
std::vector<std::string> sweep_leftovers(uint32_t uid, const std::string& name, const LeftoverPlaces& places,
                                         std::chrono::milliseconds budget = kSweepBudget);

// The kill loop of the account (kill_account_processes), then the sweep of
// its leftovers. Each problem is one warning line on descriptor 2: surviving
// processes kKillWarning and why, a leftover kLeftoverWarning and what. The
// sweep runs even when processes survive; the error then says why they did.
Result<void, std::string> clear_account(uint32_t uid, const std::string& name,
                                        const LeftoverPlaces& places = host_leftover_places());

}  // namespace marrowfen::pool
