#include "pool/cleanup/scheduled_jobs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "base/dir_names.h"
#include "base/unique_fd.h"
#include "base/utf8.h"
#include "pool/process/host_command.h"

namespace marrowfen::pool {
namespace {

bool has_crontab(const std::string& name, const JobSpools& spools) {
  for (const std::string& dir : spools.crontab_dirs) {
    struct stat st;
    if (::lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) return true;
  }
  return false;
}

bool has_at_job(uint32_t uid, const JobSpools& spools) {
  for (const std::string& dir : spools.at_dirs) {
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) continue;
    auto names = dir_names(fd.get());
    if (!names) continue;
    for (const std::string& name : names.value()) {
      struct stat st;
      if (::fstatat(fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) && st.st_uid == uid) {
        return true;
      }
    }
  }
  return false;
}

// Runs a job tool; a tool the host does not have is nothing to do (nullopt
// output), any other failure is the error.
Result<std::optional<std::string>, Error> run_job_tool(const std::vector<std::string>& argv) {
  auto ran = run_host_command(argv);
  if (!ran) {
    if (ran.error().os_error == ENOENT) return Ok<std::optional<std::string>>{std::nullopt};
    return std::move(ran).error().within("`" + argv[0] + "`");
  }
  CommandOutput& output = ran.value();
  if (!output.success()) {
    std::optional<int> code = output.status.code();
    std::string complaint = utf8_or_empty(std::move(output.stderr_bytes));
    // One warning line: the tool's own line end goes.
    while (!complaint.empty() && (complaint.back() == '\n' || complaint.back() == '\r')) complaint.pop_back();
    return Error::text("`" + argv[0] + "` failed with exit code " +
                       (code ? std::to_string(*code) : std::string("None")) + " (" + complaint + ")");
  }
  return Ok<std::optional<std::string>>{std::move(output.stdout_bytes)};
}

}  // namespace

std::vector<std::string> at_jobs_of(const std::string& atq_output, const std::string& name) {
  std::vector<std::string> ids;
  std::istringstream lines(atq_output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string id;
    std::string field;
    std::string last;
    fields >> id;
    while (fields >> field) last = field;
    if (!id.empty() && last == name) ids.push_back(id);
  }
  return ids;
}

Result<void, Error> remove_crontab(const std::string& name, const JobSpools& spools) {
  if (!has_crontab(name, spools)) return {};
  MF_TRY(run_job_tool({"crontab", "-r", "-u", name}));
  return {};
}

Result<void, Error> remove_at_jobs(const std::string& name, uint32_t uid, const JobSpools& spools) {
  if (!has_at_job(uid, spools)) return {};
  MF_TRY_ASSIGN(std::optional<std::string> listed, run_job_tool({"atq"}));
  if (!listed) return {};
  std::vector<std::string> argv = {"atrm"};
  for (std::string& id : at_jobs_of(*listed, name)) argv.push_back(std::move(id));
  if (argv.size() == 1) return {};
  MF_TRY(run_job_tool(argv));
  return {};
}

}  // namespace marrowfen::pool
