#include "pool/account/user_pool.h"

#include <algorithm>
#include <variant>

#include "base/interrupt.h"
#include "base/os_error.h"
#include "base/panic.h"
#include "base/utf8.h"
#include "base/warning.h"
#include "pool/account/home_dir.h"
#include "pool/account/poisoned_lock.h"
#include "pool/account/userid.h"
#include "pool/cleanup/account_cleanup.h"
#include "pool/containment/tenant_containment.h"
#include "pool/process/host_command.h"

namespace marrowfen::pool {
namespace {

const char* const kAllocationFailed = "Failed to allocate a new user account";

// The lists grow on demand past this; a huge capacity is a limit, not a
// request for memory up front.
constexpr size_t kMaxReservedEntries = 4096;

// Runs `useradd NAME`; false (after a warning line) when it did not succeed.
bool create_account(const std::string& name) {
  auto ran = run_host_command({"useradd", name});
  if (!ran) panic("Failed to execute the command `useradd`: " + os_error_text(ran.error().os_error));
  if (ran.value().success()) return true;
  print_warning_line("Failed to create the user account: " + utf8_or_empty(std::move(ran.value().stderr_bytes)));
  return false;
}

// Claims account `name` for this pool: nothing when another pool holds it.
// A lock directory that cannot be used fails the allocation, after a warning.
Result<std::optional<AccountLock>, std::string> claim_account(const std::string& name) {
  auto claim = AccountLock::try_claim(name);
  if (claim) return claim;
  print_warning_line("⚠️ Failed to claim the user account: " + claim.error());
  return err(kAllocationFailed);
}

// The tenant's containment, when the pool has any (nullptr when not). A
// failure is a warning line, and the hand-out fails.
Result<std::unique_ptr<TenantContainment>, std::monostate> contain_tenant(const ContainmentOptions& options,
                                                                          const std::optional<CgroupLayout>& cgroups,
                                                                          const std::string& name,
                                                                          const std::string& home) {
  if (!options.contains_anything()) return Ok<std::unique_ptr<TenantContainment>>{nullptr};
  auto contained = TenantContainment::create(options, cgroups, name, home);
  if (contained) return Ok<std::unique_ptr<TenantContainment>>{std::move(contained).value()};
  print_warning_line("⚠️ Failed to contain the user account: " + contained.error());
  return err(std::monostate{});
}

}  // namespace

UserPool::UserPool(size_t max_user, ContainmentOptions containment, std::optional<CgroupLayout> cgroups)
    : state_(), containment_(std::move(containment)), cgroups_(std::move(cgroups)) {
  PoolState& state = *state_.lock();
  state.max_user = max_user;
  state.user.reserve(std::min(max_user, kMaxReservedEntries));
  state.free.reserve(std::min(max_user, kMaxReservedEntries));
}

Mutex<PoolState>::Guard UserPool::lock_state() {
  return state_.lock_or_else([] { return poisoned_lock_message("pool"); });
}

Result<ClaimedAccount, std::string> UserPool::take_account() {
  // `id` and `useradd` run under the pool lock; the caller's signal handlers
  // wait until it is let go (they might need it).
  InterruptCheckDeferral handlers_after_unlock;
  auto state = lock_state();
  if (state->user.size() >= state->max_user) return err(kAllocationFailed);
  // Last freed first; one that another pool holds now stays free for later.
  for (auto it = state->free.end(); it != state->free.begin();) {
    --it;
    MF_TRY_ASSIGN(std::optional<AccountLock> claim, claim_account(it->name));
    if (!claim) continue;
    // Copied before it moves, so running out of memory loses no account.
    AccountEntry entry = *it;
    state->user.push_back(entry);
    state->free.erase(it);
    return ClaimedAccount{std::move(entry), std::move(*claim)};
  }
  if (state->user.size() > state->max_user) panic("assertion failed: self.user.len() <= self.max_user");
  for (;;) {
    // The name is used up whatever happens next: a later attempt draws anew.
    std::string name = state->rng.next_name();
    MF_TRY_ASSIGN(std::optional<AccountLock> claim, claim_account(name));
    if (!claim) continue;  // another pool's tenant has it now
    std::optional<uint32_t> uid = userid(name);
    if (!uid) {
      if (!create_account(name)) return err(kAllocationFailed);
      uid = userid(name);
      if (!uid) return err(kAllocationFailed);
    }
    // A root account is not a disposable user, and releasing it would kill
    // every root process of the host.
    if (*uid == 0) return err(kAllocationFailed);
    AccountEntry entry{*uid, std::move(name)};
    state->user.push_back(entry);
    return ClaimedAccount{std::move(entry), std::move(*claim)};
  }
}

void UserPool::give_back(ClaimedAccount taken) {
  // As in a release: the claim ends before the account is free again.
  {
    AccountLock ended = std::move(taken.claim);
  }
  return_account(taken.entry.uid);
}

Result<SharedUser, std::string> UserPool::alloc_user(std::shared_ptr<UserPool> pool) {
  MF_TRY_ASSIGN(ClaimedAccount taken, pool->take_account());
  // The pool lock is free again: other allocations go on meanwhile. Nothing
  // of an earlier tenant may be left for this one; the claim keeps every
  // other pool off the account while it is cleared.
  if (!clear_account(taken.entry.uid, taken.entry.name)) {
    pool->give_back(std::move(taken));
    return err(kAllocationFailed);
  }
  auto home = prepare_home(kHomeRoot, taken.entry.name, taken.entry.uid);
  if (!home) {
    // The account is fine; only its home is not. Keep it for a later try
    // instead of holding its slot for the rest of the pool's life.
    pool->give_back(std::move(taken));
    return err(std::move(home).error());
  }
  auto contained = contain_tenant(pool->containment_, pool->cgroups_, taken.entry.name, home.value());
  if (!contained) {
    pool->give_back(std::move(taken));
    return err(kAllocationFailed);
  }
  return std::make_shared<UserRecord>(std::move(taken.entry.name), std::move(home).value(), taken.entry.uid,
                                      std::move(pool), std::move(taken.claim), std::move(contained).value());
}

void UserPool::return_account(uint32_t uid) {
  auto state = lock_state();
  auto it = std::find_if(state->user.begin(), state->user.end(), [uid](const AccountEntry& e) { return e.uid == uid; });
  if (it == state->user.end()) return;
  state->free.push_back(*it);  // the only step that can fail, so it goes first
  state->user.erase(it);
}

std::vector<AccountEntry> UserPool::accounts_in_use() { return lock_state()->user; }

std::vector<AccountEntry> UserPool::free_accounts() { return lock_state()->free; }

}  // namespace marrowfen::pool
