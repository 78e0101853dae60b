#include "pool/account/user.h"

#include <optional>

#include "base/utf8.h"
#include "base/warning.h"
#include "pool/account/poisoned_lock.h"
#include "pool/account/user_pool.h"
#include "pool/cleanup/account_cleanup.h"
#include "pool/cleanup/deferred_panic.h"
#include "pool/containment/tenant_containment.h"
#include "pool/process/host_command.h"
#include "pool/process/tenant_process.h"
#include "pool/process/terminal_session.h"

namespace marrowfen::pool {
namespace {

// Runs `pkill -u <uid>` (its default SIGTERM); the error is why it could not
// be run or what trouble it reported. Statuses 0 to 2 (matched, none
// matched, usage) count as success.
Result<void, Error> pkill_account(uint32_t uid) {
  auto ran = run_host_command({"pkill", "-u", std::to_string(uid)});
  if (!ran) return std::move(ran).error().within("Failed to execute the command `pkill`");
  CommandOutput& output = ran.value();
  std::optional<int> code = output.status.code();
  if (code && *code <= 2) return {};
  return Error::text("Failed exit code: " + (code ? std::to_string(*code) : std::string("None")) + " (" +
                     utf8_or_empty(std::move(output.stderr_bytes)) + ")");
}

// The containment goes first: the holder and the group take every process
// of a contained tenant with them, before the kill loop looks. True when
// that was all of them: an isolated tenant's processes all live in its PID
// namespace (a process cannot leave one), which ended with its holder.
bool end_containment(User& user) {
  if (!user.containment) return false;
  std::vector<Error> problems = user.containment->end();
  for (Error& problem : problems) warn(std::move(problem).within(kKillFailure));
  bool whole_tenant = problems.empty() && user.containment->held_every_process();
  user.containment.reset();
  return whole_tenant;
}

void release_account(User& user) {
  // pkill only where processes of the account may be left: the kill loop
  // below looks again in every case.
  if (!end_containment(user)) {
    if (auto killed = pkill_account(user.uid); !killed) warn(std::move(killed).error().within(kKillFailure));
  }
  // pkill's SIGTERM can be ignored and outrun by forking; the kill loop
  // cannot. Its failures are warning lines already. Only what changed since
  // the hand-out's clearing needs a look.
  ClearBasis basis;
  if (user.cleared) basis.last = ClearRecord{*user.cleared, std::nullopt};
  auto cleared = clear_account(user.uid, user.username, basis);
  std::shared_ptr<UserPool> pool = std::move(user.pool);
  if (!pool) {
    AccountLock ended = std::move(user.claim);
    return;
  }
  if (!cleared) {
    // Not for the next tenant yet: it keeps its claim until it is clear. The
    // others put aside wait for the next hand-out: one sweep out of time per
    // release is enough.
    pool->put_aside(ClaimedAccount{AccountEntry{user.uid, user.username}, std::move(user.claim)});
    return;
  }
  // Taken while the claim still keeps every other pool off the account.
  ClearRecord record{cleared.value(), witness_home(user.home)};
  // The claim ends before the account is free again, so that this pool's
  // own next hand-out of it finds it unclaimed.
  {
    AccountLock ended = std::move(user.claim);
  }
  pool->return_account(user.uid, record);
  pool->finish_aside_accounts();
}

}  // namespace

User::User(std::string username, std::string home, uint32_t uid, std::shared_ptr<UserPool> pool, AccountLock claim,
           std::unique_ptr<TenantContainment> containment)
    : username(std::move(username)),
      home(std::move(home)),
      uid(uid),
      pool(std::move(pool)),
      claim(std::move(claim)),
      containment(std::move(containment)) {}

User::~User() {
  if (!owner.is_current()) return;
  run_deferring_panics([this] { release_account(*this); });
}

namespace {

// The shell text: HOME set to the home, a change into it, and a fresh bash in
// place of the `-c` shell. The home goes in verbatim.
std::string shell_command(const std::string& home) {
  return "export HOME=\"" + home + "\"; cd \"" + home + "\"; exec /bin/bash";
}

}  // namespace

Result<TerminalSession, Error> User::spawn_terminal(SharedUser user) {
  std::string name;
  std::string home;
  std::optional<TenantJoin> join;
  {
    auto locked = user->lock_or_else([] { return poisoned_lock_message("user"); });
    name = locked->username;
    home = locked->home;
    // Its descriptors stay valid: the containment ends only with the record.
    if (locked->containment) join = locked->containment->join();
  }
  // Starting the child happens without the user lock.
  std::vector<std::string> argv = {"su", "-s", "/bin/bash", "-P", "-c", shell_command(home), name};
  auto spawned = spawn_tenant_process(argv, join ? &*join : nullptr);
  if (!spawned) return std::move(spawned).error().within("Failed to create the terminal session");
  return Ok<TerminalSession>{TerminalSession(std::move(user), std::move(spawned).value())};
}

}  // namespace marrowfen::pool
