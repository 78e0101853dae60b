// Removing an account's crontab and at jobs, which would run as the account
// long after its tenant is gone, in the next tenant's turn.
//
// The host tools do the removal (`crontab -r -u NAME`, `atrm`), so the cron
// and at daemons learn of it as they expect. They are run only when the
// spool shows something of the account, which keeps the usual case (nothing
// scheduled) free of host commands. A host without the tools has nothing to
// remove: that is not an error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/result.h"

namespace marrowfen::pool {

// Where the daemons of common distributions keep their jobs.
struct JobSpools {
  // A crontab is a file named after its account.
  std::vector<std::string> crontab_dirs = {"/var/spool/cron/crontabs", "/var/spool/cron/tabs", "/var/spool/cron"};
  // An at job is a file owned by its account.
  std::vector<std::string> at_dirs = {"/var/spool/cron/atjobs", "/var/spool/at", "/var/spool/atjobs"};
};

// Runs `crontab -r -u name` when a spool holds a crontab of `name`.
Result<void, Error> remove_crontab(const std::string& name, const JobSpools& spools);

// Runs `atrm` on the jobs that `atq` lists for `name` when a spool holds a
// job file of `uid`.
Result<void, Error> remove_at_jobs(const std::string& name, uint32_t uid, const JobSpools& spools);

// The ids of the jobs of `name` in the output of `atq` (as root: one job a
// line, the id first and the owner last).
std::vector<std::string> at_jobs_of(const std::string& atq_output, const std::string& name);

}  // namespace marrowfen::pool
