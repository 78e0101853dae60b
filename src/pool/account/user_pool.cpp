#include "pool/account/user_pool.h"

#include <algorithm>

#include "base/interrupt.h"
#include "base/panic.h"
#include "base/utf8.h"
#include "base/warning.h"
#include "pool/account/home_dir.h"
#include "pool/account/poisoned_lock.h"
#include "pool/account/subordinate_ids.h"
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

// How many accounts one hand-out may put aside before it gives up: a host
// whose sweep always fails must not have the pool draw account after account.
constexpr int kMaxPutAsidePerHandOut = 3;

// Ends a claim; as in a release, before the account is free again.
void end_claim(AccountLock& claim) { AccountLock ended = std::move(claim); }

std::string home_path_of(const std::string& name) { return std::string(kHomeRoot) + "/" + name; }

// What is known of an account taken from the free list, or not at all.
ClearBasis basis_of(const AccountEntry& entry) {
  ClearBasis basis{entry.last_clear, false};
  if (entry.last_clear && entry.last_clear->home) {
    basis.home_untouched = witness_home(home_path_of(entry.name)) == entry.last_clear->home;
  }
  return basis;
}

std::string names_of(const std::vector<ClaimedAccount>& accounts) {
  std::string names;
  for (const ClaimedAccount& a : accounts) names += (names.empty() ? "" : ", ") + a.entry.name;
  return names;
}

Error allocation_failed() { return Error::text(kAllocationFailed); }

// Runs `useradd NAME`; the error is its complaint when it did not succeed
// (a bare warning line: the first warning the pool had).
Result<void, Error> create_account(const std::string& name) {
  auto ran = run_host_command({"useradd", name});
  if (!ran) panic(std::move(ran).error().within("Failed to execute the command `useradd`").message());
  if (ran.value().success()) return {};
  // Spelled out: an empty complaint keeps its ": ".
  return Error::text("Failed to create the user account: " + utf8_or_empty(std::move(ran.value().stderr_bytes)));
}

// Claims account `name` for this pool: nothing when another pool holds it.
// A lock directory that cannot be used fails the allocation, after a warning.
Result<std::optional<AccountLock>, Error> claim_account(const std::string& name) {
  auto claim = AccountLock::try_claim(name);
  if (claim) return claim;
  warn(std::move(claim).error().within("Failed to claim the user account"));
  return allocation_failed();
}

// The tenant's containment, when the pool has any (nullptr when not). The
// error is why it could not be made (a warning line, and the hand-out fails).
Result<std::unique_ptr<TenantContainment>, Error> contain_tenant(const ContainmentOptions& options,
                                                                 const std::optional<CgroupLayout>& cgroups,
                                                                 const std::string& name, const std::string& home) {
  if (!options.contains_anything()) return Ok<std::unique_ptr<TenantContainment>>{nullptr};
  auto contained = TenantContainment::create(options, cgroups, name, home);
  if (contained) return Ok<std::unique_ptr<TenantContainment>>{std::move(contained).value()};
  return std::move(contained).error().within("Failed to contain the user account");
}

}  // namespace

UserPool::UserPool(size_t max_user, ContainmentOptions containment, std::optional<CgroupLayout> cgroups)
    : state_(), containment_(containment), cgroups_(std::move(cgroups)) {
  PoolState& state = *state_.lock();
  state.max_user = max_user;
  state.user.reserve(std::min(max_user, kMaxReservedEntries));
  state.free.reserve(std::min(max_user, kMaxReservedEntries));
  state.aside.reserve(std::min(max_user, kMaxReservedEntries));
}

Mutex<PoolState>::Guard UserPool::lock_state() {
  return state_.lock_or_else([] { return poisoned_lock_message("pool"); });
}

Result<ClaimedAccount, Error> UserPool::take_account() {
  // `id` and `useradd` run under the pool lock; the caller's signal handlers
  // wait until it is let go (they might need it).
  InterruptCheckDeferral handlers_after_unlock;
  auto state = lock_state();
  if (state->user.size() + state->aside.size() + state->aside_retrying >= state->max_user) {
    if (!state->aside.empty()) {
      warn(Error::text(names_of(state->aside)).within("Every user account left is put aside until it is clear"));
    }
    return allocation_failed();
  }
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
      if (auto created = create_account(name); !created) {
        warn(created.error(), WarningMark::kBare);
        return allocation_failed();
      }
      uid = userid(name);
      if (!uid) return allocation_failed();
    }
    // A root account is not a disposable user, and releasing it would kill
    // every root process of the host.
    if (*uid == 0) return allocation_failed();
    // No tenant of it may take on other ids through a user namespace.
    if (auto removed = remove_subordinate_ids(name, *uid); !removed) {
      warn(std::move(removed).error().within("Failed to remove the subordinate ids of the user account " + name));
      return allocation_failed();
    }
    AccountEntry entry{*uid, std::move(name)};
    state->user.push_back(entry);
    return ClaimedAccount{std::move(entry), std::move(*claim)};
  }
}

void UserPool::give_back(ClaimedAccount taken) {
  end_claim(taken.claim);
  return_account(taken.entry.uid);
}

void UserPool::put_aside(ClaimedAccount taken) {
  warn(Error::text(taken.entry.name).within("Put the user account aside until it is clear"));
  auto state = lock_state();
  uint32_t uid = taken.entry.uid;
  auto it = std::find_if(state->user.begin(), state->user.end(), [uid](const AccountEntry& e) { return e.uid == uid; });
  if (it == state->user.end()) return;       // the claim ends with `taken`
  state->aside.push_back(std::move(taken));  // the only step that can fail, so it goes first
  state->user.erase(it);
}

void UserPool::finish_aside_accounts() {
  std::vector<ClaimedAccount> retry;
  {
    auto state = lock_state();
    if (state->aside.empty()) return;
    // Room first, so that every one of them finds its place again.
    std::vector<ClaimedAccount> room;
    room.reserve(state->aside.size());
    retry.swap(state->aside);
    state->aside.swap(room);
    state->aside_retrying += retry.size();
  }
  const auto deadline = std::chrono::steady_clock::now() + kSweepBudget;
  size_t done = 0;
  try {
    for (; done < retry.size(); ++done) {
      ClaimedAccount& account = retry[done];
      std::optional<ClearRecord> record;
      if (std::chrono::steady_clock::now() < deadline) {
        if (auto cleared = clear_account(account.entry.uid, account.entry.name)) {
          record = ClearRecord{cleared.value(), witness_home(home_path_of(account.entry.name))};
        }
      }
      auto state = lock_state();
      if (record) {
        account.entry.last_clear = record;
        state->free.push_back(account.entry);  // the only step that can fail, so it goes first
        end_claim(account.claim);
      } else {
        state->aside.push_back(std::move(account));
      }
      --state->aside_retrying;
    }
  } catch (...) {
    // Out of memory, say: those not done yet stay aside, the count stays true.
    auto state = lock_state();
    for (; done < retry.size(); ++done) {
      state->aside.push_back(std::move(retry[done]));
      --state->aside_retrying;
    }
    throw;
  }
}

Result<SharedUser, Error> UserPool::alloc_user(std::shared_ptr<UserPool> pool) {
  pool->finish_aside_accounts();
  for (int put_aside = 0;;) {
    MF_TRY_ASSIGN(ClaimedAccount taken, pool->take_account());
    // The pool lock is free again: other allocations go on meanwhile. Nothing
    // of an earlier tenant may be left for this one; the claim keeps every
    // other pool off the account while it is cleared.
    auto cleared = clear_account(taken.entry.uid, taken.entry.name, basis_of(taken.entry));
    if (cleared) return hand_out(std::move(pool), std::move(taken), cleared.value());
    pool->put_aside(std::move(taken));
    if (++put_aside == kMaxPutAsidePerHandOut) return allocation_failed();
  }
}

Result<SharedUser, Error> UserPool::hand_out(std::shared_ptr<UserPool> pool, ClaimedAccount taken, WallMark cleared) {
  auto home = prepare_home(kHomeRoot, taken.entry.name, taken.entry.uid);
  if (!home) {
    // The account is fine; only its home is not. Keep it for a later try
    // instead of holding its slot for the rest of the pool's life.
    pool->give_back(std::move(taken));
    return err(std::move(home).error());
  }
  auto contained = contain_tenant(pool->containment_, pool->cgroups_, taken.entry.name, home.value());
  if (!contained) {
    warn(contained.error());
    pool->give_back(std::move(taken));
    return allocation_failed();
  }
  auto user = std::make_shared<UserRecord>(std::move(taken.entry.name), std::move(home).value(), taken.entry.uid,
                                           std::move(pool), std::move(taken.claim), std::move(contained).value());
  user->lock()->cleared = cleared;
  return user;
}

void UserPool::return_account(uint32_t uid, std::optional<ClearRecord> cleared) {
  auto state = lock_state();
  auto it = std::find_if(state->user.begin(), state->user.end(), [uid](const AccountEntry& e) { return e.uid == uid; });
  if (it == state->user.end()) return;
  state->free.push_back(*it);  // the only step that can fail, so it goes first
  state->free.back().last_clear = cleared;
  state->user.erase(it);
}

std::vector<AccountEntry> UserPool::accounts_in_use() { return lock_state()->user; }

std::vector<AccountEntry> UserPool::free_accounts() { return lock_state()->free; }

std::vector<AccountEntry> UserPool::accounts_put_aside() {
  std::vector<AccountEntry> entries;
  for (const ClaimedAccount& a : lock_state()->aside) entries.push_back(a.entry);
  return entries;
}

}  // namespace marrowfen::pool
