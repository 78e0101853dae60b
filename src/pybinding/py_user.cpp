#include "pybinding/class_def.h"
#include "pybinding/conversions.h"
#include "pybinding/gil.h"
#include "pybinding/py_user_pool.h"

namespace marrowfen::py {

namespace {

// Copies what `read` takes from the record, under the user lock.
template <class Read>
auto read_user(PyUserObject& o, Read&& read) {
  return without_gil([&] { return read(*o.fields.user->lock()); });
}

PyObject* user_spawn(PyUserObject& o) {
  if (!owned_by_this_process(o.fields.owner, PyUserObject::kName)) return nullptr;
  auto session = without_gil([&] { return pool::User::spawn_terminal(o.fields.user); });
  if (!session.ok()) return raise_value_error(session.error());
  return new_terminal_session(std::move(session).value());
}

PyObject* user_username(PyUserObject& o) {
  return new_str(read_user(o, [](const pool::User& u) { return u.username; }));
}

PyObject* user_uid(PyUserObject& o) {
  return PyLong_FromUnsignedLong(read_user(o, [](const pool::User& u) { return u.uid; }));
}

PyObject* user_home(PyUserObject& o) {
  return new_str(read_user(o, [](const pool::User& u) { return u.home; }));
}

PyObject* user_str(PyObject* self) {
  return guarded([&] {
    auto& o = *reinterpret_cast<PyUserObject*>(self);
    return new_str(read_user(o, [](const pool::User& u) {
      return "{ username: " + u.username + ", uid: " + std::to_string(u.uid) + ", home: " + u.home + " }";
    }));
  });
}

constexpr Method<PyUserObject> kMethods[] = {
    {"spawn", user_spawn,
     "\nSpawn a new terminal session for the user.\n\n"
     "Starts a bash shell as this account, in its home directory.\n"},
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

PyObject* new_user(pool::SharedUser user) { return new_instance<PyUserObject>(py_user_type(), std::move(user)); }

}  // namespace marrowfen::py
