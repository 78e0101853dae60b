#include "pybinding/class_def.h"
#include "pybinding/conversions.h"
#include "pybinding/gil.h"
#include "pybinding/py_user_pool.h"

namespace marrowfen::py {

namespace {

PyObject* user_spawn(PyUserObject& o, Args& a) {
  std::optional<int> epoll;
  if (!a.optional_fd(0, epoll)) return nullptr;
  if (!owned_by_this_process(o.fields.owner, PyUserObject::kName)) return nullptr;
  auto session = without_gil([&]() -> Result<pool::TerminalSession, Error> {
    MF_TRY_ASSIGN(pool::TerminalSession spawned, pool::User::spawn_terminal(o.fields.user));
    if (epoll) {
      // A session that cannot be watched is of no use to the caller; it is
      // closed here, without the interpreter lock.
      if (auto watched = spawned.watch_output(*epoll); !watched) {
        return std::move(watched).error().within("Failed to create the terminal session");
      }
    }
    return Ok<pool::TerminalSession>{std::move(spawned)};
  });
  report_deferred_panics();
  if (!session.ok()) return raise_value_error(session.error().message());
  return new_terminal_session(std::move(session).value());
}

PyObject* user_username(PyUserObject& o) { return new_str(o.fields.identity.username); }

PyObject* user_uid(PyUserObject& o) { return PyLong_FromUnsignedLong(o.fields.identity.uid); }

PyObject* user_home(PyUserObject& o) { return new_str(o.fields.identity.home); }

PyObject* user_str(PyObject* self) {
  return guarded([&] {
    const UserIdentity& u = reinterpret_cast<PyUserObject*>(self)->fields.identity;
    return new_str("{ username: " + u.username + ", uid: " + std::to_string(u.uid) + ", home: " + u.home + " }");
  });
}

constexpr Param kSpawnParams[] = {{"epoll", true, true}};

constexpr Method<PyUserObject> kMethods[] = {
    {"spawn", kSpawnParams, user_spawn,
     "\nSpawn a new terminal session for the user.\n\n"
     "Starts a bash shell as this account, in its home directory.\n\n"
     "With the keyword `epoll` (a select.epoll, or its descriptor), the\n"
     "shell's standard output is added to that epoll instance for reading\n"
     "until the session is closed, so that an event loop can wait for it.\n"},
    {"username", user_username, "\nGet the username of the user.\n"},
    {"uid", user_uid, "\nGet the UID of the user.\n"},
    {"home", user_home, "\nGet the home folder of the user.\n"},
};

constexpr ClassDef<PyUserObject> kClass{
    .doc =
        "\nA class that represents a user account in the pool.\n\n"
        "The account can be used to create terminal sessions. It is released\n"
        "back to the pool when it is dropped.\n",
    .methods = kMethods,
    .dealloc = dealloc_without_gil<PyUserObject>,
    .str = user_str,
};

}  // namespace

PyTypeObject* py_user_type() { return class_type<kClass>(); }

UserIdentity identity_of(const pool::SharedUser& user) {
  auto u = user->lock();
  return {u->username, u->home, u->uid};
}

PyObject* new_user(pool::SharedUser user, UserIdentity identity) {
  return new_instance<PyUserObject>(py_user_type(), std::move(user), std::move(identity));
}

}  // namespace marrowfen::py
