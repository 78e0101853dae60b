// One handed-out account of a UserPool, and the shared record that holds it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/error.h"
#include "base/mutex.h"
#include "base/result.h"
#include "pool/account/account_lock.h"
#include "pool/account/owner_process.h"
#include "pool/cleanup/clear_record.h"

namespace marrowfen::pool {

class UserPool;
class TerminalSession;
class TenantContainment;
struct User;

// The lock-protected user record, shared by reference counting between the
// owner of the account (the Python user object) and every session spawned
// from it. When the last reference goes, the User inside is destroyed and the
// account released.
using UserRecord = Mutex<User>;
using SharedUser = std::shared_ptr<UserRecord>;

struct User {
  User(std::string username, std::string home, uint32_t uid, std::shared_ptr<UserPool> pool, AccountLock claim,
       std::unique_ptr<TenantContainment> containment = nullptr);
  // The record is built in place and never copied or moved: its destruction
  // is the account's release, which must happen exactly once.
  User(const User&) = delete;
  User& operator=(const User&) = delete;

  // Releases the account: its containment ends first (the holder and the
  // group killed: every process of a contained tenant at once), then
  // `pkill -u <uid>` (a failure is a warning line), then
  // every remaining process of the account is killed and what it left in
  // the shared places removed (account_cleanup.h; problems are warning
  // lines), then the claim on the account ends and it goes back on its
  // pool's free list; an account that this left unclear is put aside instead
  // (user_pool.h), and the pool's other accounts put aside are cleared again. In a process other than the one that made the record
  // (a forked child) nothing of this happens. An internal error there (a
  // poisoned pool lock) cannot be thrown from a destructor: it is parked for
  // take_deferred_panic() on this thread (see deferred_panic.h). Blocks while
  // pkill runs, the processes are killed and the leftovers removed, holding
  // no lock meanwhile (the pool lock only for the final move), so whoever
  // drops the last reference may do so with its own runtime's lock released.
  ~User();

  // Starts `su ... /bin/bash` as the account, in its home (include
  // pool/terminal_session.h to call it). The user lock is held only to copy the
  // name and home (and, when contained, what the spawn joins). A poisoned
  // user lock throws Panic; a start failure is
  // "Failed to create the terminal session: " and the system error text.
  static Result<TerminalSession, Error> spawn_terminal(SharedUser user);

  std::string username;  // "test_" and eight characters
  std::string home;      // canonical absolute path of the temporary home
  uint32_t uid;
  // Cleared by the release, so the account goes back exactly once.
  std::shared_ptr<UserPool> pool;
  // This process's claim on the account, held until the release is over.
  AccountLock claim;
  // The tenant's namespaces and group in a contained pool; else nullptr.
  std::unique_ptr<TenantContainment> containment;
  OwnerProcess owner;
  // When the clearing before its hand-out began (clear_record.h).
  std::optional<WallMark> cleared;
};

}  // namespace marrowfen::pool
