#include "pool/user.h"

#include <optional>

#include "pool/account_reaper.h"
#include "pool/deferred_panic.h"
#include "pool/host_command.h"
#include "base/os_error.h"
#include "pool/user_pool.h"
#include "base/utf8.h"
#include "pool/warning.h"

namespace marrowfen::pool {
namespace {

const char* const kKillWarning = "⚠️ Failed to kill all processes of the user: ";

// Runs `pkill -u <uid>` (its default SIGTERM); the warning text when it could
// not be run or reported trouble. Statuses 0 to 2 (matched, none matched,
// usage) count as success.
std::optional<std::string> pkill_account(uint32_t uid) {
  auto ran = run_host_command({"pkill", "-u", std::to_string(uid)});
  if (!ran) return "Failed to execute the command `pkill`: " + os_error_text(ran.error().os_error);
  CommandOutput& output = ran.value();
  std::optional<int> code = output.status.code();
  if (code && *code <= 2) return std::nullopt;
  return "Failed exit code: " + (code ? std::to_string(*code) : std::string("None")) + " (" +
         utf8_or_empty(std::move(output.stderr_bytes)) + ")";
}

void release_account(User& user) {
  if (auto warning = pkill_account(user.uid)) print_warning_line(kKillWarning + *warning);
  // pkill's SIGTERM can be ignored and outrun by forking; this cannot.
  if (auto survivors = kill_account_processes(user.uid)) print_warning_line(kKillWarning + *survivors);
  std::shared_ptr<UserPool> pool = std::move(user.pool);
  if (pool) pool->return_account(user.uid);
}

}  // namespace

User::User(std::string username, std::string home, uint32_t uid, std::shared_ptr<UserPool> pool)
    : username(std::move(username)), home(std::move(home)), uid(uid), pool(std::move(pool)) {}

User::~User() {
  run_deferring_panics([this] { release_account(*this); });
}

}  // namespace marrowfen::pool
