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

#include "base/error.h"
#include "base/result.h"
#include "base/warning.h"
#include "pool/cleanup/clear_record.h"
#include "pool/cleanup/scheduled_jobs.h"

namespace marrowfen::pool {

// How long the sweep of leftovers may take before it gives up.
inline constexpr std::chrono::milliseconds kSweepBudget{5000};

// What the warning lines of a release say failed, before why.
inline constexpr const char* kKillFailure = "Failed to kill all processes of the user";
inline constexpr const char* kLeftoverFailure = "Failed to remove what the user left behind";
// The beginning of every warning line about a leftover.
inline const std::string kLeftoverWarning = std::string(kWarningMark) + kLeftoverFailure + ": ";
inline constexpr const char* kUncleanError = "what the user left behind could not all be removed";

// Where a tenant can leave something behind. Tests point these elsewhere.
struct LeftoverPlaces {
  // Directories every user may write (/var/lock is a link to /run/lock).
  // The POSIX message queues have a sweep of their own (posix_queue_sweep.h).
  std::vector<std::string> shared_dirs = {"/tmp", "/var/tmp", "/dev/shm", "/run/lock"};
  // Where the homes are: the account's own waits for its next hand-out, its
  // entries in the others' go (see shared_dir_sweep.h). Empty: none.
  std::string home_root;
  std::string sysvipc_dir = "/proc/sysvipc";
  JobSpools spools;
};

// The places of this host: the defaults, with the home root left alone.
const LeftoverPlaces& host_leftover_places();

// What is known of an account before it is cleared (see clear_record.h).
struct ClearBasis {
  // Its last complete clearing, where this process made it.
  std::optional<ClearRecord> last;
  // Its home is still the one `last` left: nobody has handed it out since.
  bool home_untouched = false;
  // Its last tenant lived in mount and IPC namespaces of its own, which
  // ended with it: the shared directories, message queues and System V IPC
  // objects that tenant could reach were private ones. Only the job spools
  // are the host's. Believed only when the kill loop finds nothing of the
  // account running outside them.
  bool tenant_namespaced = false;
};

// Removes what account `uid` (named `name`) owns in `places`: entries in the
// shared directories and in the homes of others (see shared_dir_sweep.h),
// its POSIX message queues, System V IPC objects, crontab and at jobs. Run
// only once its processes are gone. Directories without subdirectories that
// have not changed since `last_began` are not opened. The problems, one each;
// stops after `budget` (and says so).
std::vector<Error> sweep_leftovers(uint32_t uid, const std::string& name, const LeftoverPlaces& places,
                                   std::chrono::milliseconds budget = kSweepBudget,
                                   const std::optional<WallMark>& last_began = std::nullopt);

// Removes the account's crontab and at jobs (the part of the sweep that a
// tenant in namespaces of its own can still reach). The problems, one each.
std::vector<Error> sweep_job_spools(uint32_t uid, const std::string& name, const JobSpools& spools);

// The kill loop of the account (kill_account_processes, which empties its
// keyrings too), then the sweep of its leftovers (of the job spools alone
// for a namespaced tenant, see ClearBasis). Each problem is one warning
// line on descriptor 2: surviving processes (or filled keyrings)
// kKillFailure and why, a leftover kLeftoverFailure and what. The sweep runs
// even when processes survive. Succeeds only when both finished with nothing
// left: the account is clear for its next tenant, and the value is when this
// clearing began. Otherwise the
// error says why processes survived, or is kUncleanError.
Result<WallMark, Error> clear_account(uint32_t uid, const std::string& name, const ClearBasis& basis = {},
                                      const LeftoverPlaces& places = host_leftover_places());

}  // namespace marrowfen::pool
