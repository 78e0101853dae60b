// One holder per host account, across pools and processes.
//
// Every pool of every process draws the same fixed-seed names, so without a
// host-wide claim two pools would hand out one account at once: the second
// hand-out wipes the first tenant's home, and its release kills the first
// tenant's shell. An account is therefore claimed by an exclusive flock on a
// file of its own, held from the moment a pool takes the account until its
// release is over, and the kernel drops the claim when the holder dies, so a
// crashed owner never blocks an account for good.
//
// Threat model. The tenants are local, unprivileged users who may run
// anything, before, during and after their turn. Were the lock files in a
// place they can write (/tmp), a tenant could create them first (as links
// elsewhere, as files of its own that it holds locked for ever, or as a
// directory that blocks the path) and so redirect our writes or keep every
// pool from an account. The directory is therefore under /run, where only
// root may create entries, and it is used only when it is a real directory of
// ours that neither group nor others may write (see private_dir.h); the lock
// files are opened relative to it with O_NOFOLLOW. Descriptors are
// close-on-exec, so no child (su, the tenant's shell, a host command)
// inherits a claim, and a child made by fork() closes its copies at once:
// closing a copy leaves the parent's claim in place (flock belongs to the
// open file, which the parent still has), and the child never holds an
// account the parent has long released.
//
// Claims are per open file: two pools of one process exclude each other
// exactly as two processes do. Lock files are never removed (removing one
// while another process opens it would split the claim in two).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/result.h"

namespace marrowfen::pool {

inline constexpr const char* kAccountLockDir = "/run/marrowfen-accounts";

class AccountLock {
 public:
  // Claims account `name` without waiting: the claim, nothing when another
  // holder (any pool of any process) has it, or why the lock directory or
  // file cannot be used. `dir` is for tests.
  static Result<std::optional<AccountLock>, Error> try_claim(std::string_view name,
                                                             std::string_view dir = kAccountLockDir);

  AccountLock(AccountLock&& other) noexcept;
  AccountLock& operator=(AccountLock&& other) noexcept;
  AccountLock(const AccountLock&) = delete;
  AccountLock& operator=(const AccountLock&) = delete;
  // Lets go of the claim (in the process that made it; a forked child has
  // closed its copy already).
  ~AccountLock();

 private:
  explicit AccountLock(int fd) noexcept;
  void release() noexcept;

  int fd_ = -1;
  pid_t owner_ = -1;
};

}  // namespace marrowfen::pool
