#include "pool/cleanup/account_cleanup.h"

#include "base/warning.h"
#include "pool/account/home_dir.h"
#include "pool/cleanup/account_reaper.h"
#include "pool/cleanup/posix_queue_sweep.h"
#include "pool/cleanup/shared_dir_sweep.h"
#include "pool/cleanup/sysv_ipc_sweep.h"

namespace marrowfen::pool {

const LeftoverPlaces& host_leftover_places() {
  static const LeftoverPlaces places = [] {
    LeftoverPlaces p;
    p.home_root = kHomeRoot;
    return p;
  }();
  return places;
}

std::vector<Error> sweep_leftovers(uint32_t uid, const std::string& name, const LeftoverPlaces& places,
                                   std::chrono::milliseconds budget, const std::optional<WallMark>& last_began) {
  SharedDirSweep sweep{uid, std::chrono::steady_clock::now() + budget, places.home_root, name,
                       last_began ? sweep_cutoff(*last_began) : std::nullopt};
  std::vector<Error> problems = sweep_shared_dirs(places.shared_dirs, sweep);
  for (Error& problem : sweep_posix_queues(uid)) problems.push_back(std::move(problem));
  for (Error& problem : sweep_sysv_ipc(uid, places.sysvipc_dir)) problems.push_back(std::move(problem));
  for (Error& problem : sweep_job_spools(uid, name, places.spools)) problems.push_back(std::move(problem));
  return problems;
}

std::vector<Error> sweep_job_spools(uint32_t uid, const std::string& name, const JobSpools& spools) {
  std::vector<Error> problems;
  if (auto removed = remove_crontab(name, spools); !removed) problems.push_back(std::move(removed).error());
  if (auto removed = remove_at_jobs(name, uid, spools); !removed) problems.push_back(std::move(removed).error());
  return problems;
}

Result<WallMark, Error> clear_account(uint32_t uid, const std::string& name, const ClearBasis& basis,
                                      const LeftoverPlaces& places) {
  const WallMark began = wall_mark_now();
  auto killed = kill_account_processes(uid);
  if (!killed) warn(Error(killed.error()).within(kKillFailure));
  // Nothing ran as the account since it was last clear, and nothing runs
  // now: nothing to sweep, and it is as clear now as it was then.
  if (killed && !killed.value() && basis.last && basis.home_untouched) return began;
  // Even with survivors: what can go, goes.
  std::optional<WallMark> last_began;
  if (basis.last) last_began = basis.last->began;
  // Nothing of the account ran outside the tenant's namespaces: what it
  // made in the places it shares with others went with them.
  bool only_spools = killed && !killed.value() && basis.tenant_namespaced;
  std::vector<Error> problems = only_spools ? sweep_job_spools(uid, name, places.spools)
                                            : sweep_leftovers(uid, name, places, kSweepBudget, last_began);
  for (const Error& problem : problems) warn(Error(problem).within(kLeftoverFailure));
  if (!killed) return err(std::move(killed).error());
  if (!problems.empty()) return Error::text(kUncleanError);
  return began;
}

}  // namespace marrowfen::pool
