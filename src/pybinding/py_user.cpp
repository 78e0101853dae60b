#include "pybinding/conversions.h"
#include "pybinding/gil.h"
#include "pybinding/py_user_pool.h"

namespace marrowfen::py {

namespace {

ClassInfo cls() { return {py_user_type(), "PyUser"}; }

// Copies what `read` takes from the record, under the user lock.
template <class Read>
auto read_user(PyUserObject& o, Read&& read) {
  return without_gil([&] { return read(*o.fields.user->lock()); });
}

PyObject* user_spawn(PyObject* self, PyObject*) {
  return call_noargs<PyUserObject>(self, cls(), [](PyUserObject& o) -> PyObject* {
    if (!owned_by_this_process(o.fields.owner, cls().name)) return nullptr;
    auto session = without_gil([&] { return pool::User::spawn_terminal(o.fields.user); });
    if (!session.ok()) return raise_value_error(session.error());
    return new_terminal_session(std::move(session).value());
  });
}

PyObject* user_username(PyObject* self, PyObject*) {
  return call_noargs<PyUserObject>(self, cls(), [](PyUserObject& o) -> PyObject* {
    return new_str(read_user(o, [](const pool::User& u) { return u.username; }));
  });
}

PyObject* user_uid(PyObject* self, PyObject*) {
  return call_noargs<PyUserObject>(self, cls(), [](PyUserObject& o) -> PyObject* {
    return PyLong_FromUnsignedLong(read_user(o, [](const pool::User& u) { return u.uid; }));
  });
}

PyObject* user_home(PyObject* self, PyObject*) {
  return call_noargs<PyUserObject>(self, cls(), [](PyUserObject& o) -> PyObject* {
    return new_str(read_user(o, [](const pool::User& u) { return u.home; }));
  });
}

PyObject* user_str(PyObject* self) {
  return guarded([&] {
    auto& o = *reinterpret_cast<PyUserObject*>(self);
    return new_str(read_user(o, [](const pool::User& u) {
      return "{ username: " + u.username + ", uid: " + std::to_string(u.uid) + ", home: " + u.home + " }";
    }));
  });
}

PyMethodDef kMethods[] = {
    {"spawn", user_spawn, METH_NOARGS,
     "spawn($self)\n--\n\n\nSpawn a new terminal session for the user.\n\n"
     "Starts a bash shell as this account, in its home directory.\n"},
    {"username", user_username, METH_NOARGS, "username($self)\n--\n\n\nGet the username of the user.\n"},
    {"uid", user_uid, METH_NOARGS, "uid($self)\n--\n\n\nGet the UID of the user.\n"},
    {"home", user_home, METH_NOARGS, "home($self)\n--\n\n\nGet the home folder of the user.\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* py_user_type() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(
                      "\nA class that represents a user account in the pool.\n\n"
                      "The account can be used to create terminal sessions. It is released\n"
                      "back to the pool when it is dropped.\n")},
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_without_gil<PyUserObject>)},
      {Py_tp_str, reinterpret_cast<void*>(user_str)},
      {Py_tp_methods, kMethods},
      {0, nullptr},
  };
  type = make_type("builtins.PyUser", sizeof(PyUserObject), slots);
  return type;
}

PyObject* new_user(pool::SharedUser user) {
  return new_instance<PyUserObject>(py_user_type(), std::move(user));
}

}  // namespace marrowfen::py
