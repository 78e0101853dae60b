// PyUserPool, PyUser and PyTerminalSession: host accounts and real shells.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/mutex.h"
#include "pool/account/owner_process.h"
#include "pool/account/user.h"
#include "pool/account/user_pool.h"
#include "pool/process/terminal_session.h"
#include "pybinding/object.h"

namespace marrowfen::py {

// Each object remembers the process that made it: in a child made by
// fork(), its methods refuse (see owned_by_this_process) and its destruction
// does nothing to the host (the pool's own records see to that).
struct PyUserPoolObject : ObjectBase {
  static constexpr char kName[] = "PyUserPool";
  struct Fields {
    explicit Fields(std::shared_ptr<pool::UserPool> p) : pool(std::move(p)) {}
    std::shared_ptr<pool::UserPool> pool;
    pool::OwnerProcess owner;
  } fields;
};

// What a user record says of its account. It never changes after the
// hand-out, so the getters read this copy, made once under the user lock,
// without taking the lock or letting go of the interpreter lock.
struct UserIdentity {
  std::string username;
  std::string home;
  uint32_t uid;
};

struct PyUserObject : ObjectBase {
  static constexpr char kName[] = "PyUser";
  struct Fields {
    Fields(pool::SharedUser u, UserIdentity i) : user(std::move(u)), identity(std::move(i)) {}
    pool::SharedUser user;
    const UserIdentity identity;
    pool::OwnerProcess owner;
  } fields;
};

struct PyTerminalSessionObject : ObjectBase {
  static constexpr char kName[] = "PyTerminalSession";
  struct Fields {
    explicit Fields(pool::TerminalSession s) : session(std::move(s)) {}
    // Taken whole only by close; the session's own operations synchronise
    // themselves and may block, so reads and writes just check the lock.
    Mutex<pool::TerminalSession> session;
    pool::OwnerProcess owner;
  } fields;
};

// True in the process that made the object. Elsewhere (a forked child) sets
// ValueError("<class_name> belongs to the process that created it and cannot
// be used in a forked child") and returns false.
bool owned_by_this_process(const pool::OwnerProcess& owner, const char* class_name);

PyTypeObject* py_user_pool_type();
PyTypeObject* py_user_type();
PyTypeObject* py_terminal_session_type();

// A new PyUser for `user`. The user lock is taken, so call it with the
// interpreter lock released.
UserIdentity identity_of(const pool::SharedUser& user);
PyObject* new_user(pool::SharedUser user, UserIdentity identity);
PyObject* new_terminal_session(pool::TerminalSession session);

}  // namespace marrowfen::py
