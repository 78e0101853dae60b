// A pool of host accounts handed out one at a time, each with a fresh home.
//
// Accounts are made with `useradd` the first time they are needed and never
// deleted; a released account has its processes killed and goes back on the
// free list, to be handed out again with a wiped home. Names come from a
// fixed-seed generator, so an account that exists on the host under a drawn
// name (made by an earlier pool or run) is adopted through `id`.
//
// An account serves one tenant at a time across every pool of every process:
// a pool claims it (account_lock.h) before it hands it out and keeps the
// claim until the release is over, passing by accounts claimed elsewhere.
// Before a hand-out the account is cleared of any earlier tenant's processes
// and leftovers (account_cleanup.h), since an owner may have died without
// releasing it.
//
// An account whose clearing did not finish (processes that survived, a
// leftover that could not go, a sweep out of time) is never handed out: it
// is put aside, neither in use nor free, keeping its claim, and the next
// release or hand-out of this pool clears it again first; once clear it is
// free again. Accounts put aside count against the capacity.
//
// Everything here needs root on the host (useradd, chown, killing other
// users' processes); the pool does not check, it reports what fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/mutex.h"
#include "base/result.h"
#include "pool/account/account_lock.h"
#include "pool/account/name_generator.h"
#include "pool/account/user.h"
#include "pool/cleanup/clear_record.h"
#include "pool/containment/cgroup_layout.h"
#include "pool/containment/containment_options.h"

namespace marrowfen::pool {

struct AccountEntry {
  uint32_t uid;
  std::string name;
  // Its last complete clearing by this pool, on the free list (clear_record.h).
  std::optional<ClearRecord> last_clear = std::nullopt;
};

// An account taken by this pool, with the claim that keeps others off it.
struct ClaimedAccount {
  AccountEntry entry;
  AccountLock claim;
};

// What the pool lock guards.
struct PoolState {
  std::vector<AccountEntry> user;     // handed out, in order of hand-out
  std::vector<AccountEntry> free;     // idle, reused last in, first out
  std::vector<ClaimedAccount> aside;  // not clear yet: neither in use nor free
  size_t aside_retrying = 0;          // taken out of `aside` while cleared again
  size_t max_user;                    // most accounts in use at once
  NameGenerator rng;
};

class UserPool {
 public:
  // An empty pool of capacity `max_user`; touches nothing on the host.
  // Create it with std::make_shared: allocation needs a shared reference.
  // A pool given `containment` options contains every tenant it hands out
  // (pool/containment/): its control groups go where `cgroups` says, which
  // check_host_support found for those options.
  explicit UserPool(size_t max_user, ContainmentOptions containment = {},
                    std::optional<CgroupLayout> cgroups = std::nullopt);
  UserPool(const UserPool&) = delete;
  UserPool& operator=(const UserPool&) = delete;

  // Hands out an account with a fresh, empty home owned by it, or returns the
  // failure's message. The account is the most recently freed one of this
  // pool that no other pool holds, else the next drawn name that no other
  // pool holds (a name held elsewhere is used up like any drawn name). First
  // the accounts put aside are cleared again (finish_aside_accounts). Before
  // the home is made, every process of the account is killed and its
  // leftovers removed; an account that this leaves unclear is put aside and
  // another taken, and when only such accounts are left the allocation fails
  // ("Failed to allocate a new user account", after a warning line naming
  // them). Blocks while
  // `id`/`useradd` run (holding the pool lock), and while the account is
  // cleared and its home prepared (without it). Internal errors (`id` or
  // `useradd` that cannot be run, a poisoned pool lock) throw Panic; one thrown
  // while the pool lock is held poisons the pool for good.
  static Result<SharedUser, Error> alloc_user(std::shared_ptr<UserPool> pool);

  // Moves the in-use entry of `uid` back to the free list, with the record
  // of the clearing that made it clear; no entry, no change. A poisoned pool
  // lock throws Panic.
  void return_account(uint32_t uid, std::optional<ClearRecord> cleared = std::nullopt);

  // Moves the in-use entry of `taken` aside with its claim, after a warning
  // line naming it: its clearing did not finish. No entry: the claim ends.
  void put_aside(ClaimedAccount taken);

  // Clears the accounts put aside again, for at most kSweepBudget in all:
  // those now clear are free, the rest stay aside. Called by every release
  // and hand-out of the pool.
  void finish_aside_accounts();

  // Snapshots for inspection (tests, diagnostics). Poisoned lock: Panic.
  std::vector<AccountEntry> accounts_in_use();
  std::vector<AccountEntry> free_accounts();
  std::vector<AccountEntry> accounts_put_aside();

 private:
  // Steps under the pool lock: claim a free account or a new one.
  Result<ClaimedAccount, Error> take_account();
  // The way back for an account this pool took but could not hand out.
  void give_back(ClaimedAccount taken);
  // Prepares the home of a cleared account and makes its record.
  static Result<SharedUser, Error> hand_out(std::shared_ptr<UserPool> pool, ClaimedAccount taken, WallMark cleared);
  Mutex<PoolState>::Guard lock_state();

  Mutex<PoolState> state_;
  // Set at construction, never changed: read without the lock.
  const ContainmentOptions containment_;
  const std::optional<CgroupLayout> cgroups_;
};

}  // namespace marrowfen::pool
