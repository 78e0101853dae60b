// PyUserPool, PyUser and PyTerminalSession: host accounts and real shells.
#pragma once

#include <memory>

#include "base/mutex.h"
#include "pool/terminal_session.h"
#include "pool/user.h"
#include "pool/user_pool.h"
#include "pybinding/object.h"

namespace marrowfen::py {

struct PyUserPoolObject : ObjectBase {
  struct Fields {
    std::shared_ptr<pool::UserPool> pool;
  } fields;
};

struct PyUserObject : ObjectBase {
  struct Fields {
    pool::SharedUser user;
  } fields;
};

struct PyTerminalSessionObject : ObjectBase {
  struct Fields {
    explicit Fields(pool::TerminalSession s) : session(std::move(s)) {}
    // Taken whole only by close; the session's own operations synchronise
    // themselves and may block, so reads and writes just check the lock.
    Mutex<pool::TerminalSession> session;
  } fields;
};

PyTypeObject* py_user_pool_type();
PyTypeObject* py_user_type();
PyTypeObject* py_terminal_session_type();

PyObject* new_user(pool::SharedUser user);
PyObject* new_terminal_session(pool::TerminalSession session);

}  // namespace marrowfen::py
