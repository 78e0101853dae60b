#include "pybinding/py_user_pool.h"

#include "pybinding/gil.h"

namespace marrowfen::py {

namespace {

constexpr size_t kDefaultCapacity = 256;

ClassInfo cls() { return {py_user_pool_type(), "PyUserPool"}; }

constexpr Param kUserCount[] = {{"user_count", true}};

PyObject* pool_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Args matched;
  if (!matched.match_tuple("PyUserPool.__new__()", kUserCount, args, kwargs)) return nullptr;
  size_t capacity = 0;
  if (!matched.usize_or(0, kDefaultCapacity, capacity)) return nullptr;
  return guarded([&] { return new_instance<PyUserPoolObject>(type, std::make_shared<pool::UserPool>(capacity)); });
}

PyObject* pool_allocate(PyObject* self, PyObject*) {
  return call_noargs<PyUserPoolObject>(self, cls(), [](PyUserPoolObject& o) -> PyObject* {
    if (!owned_by_this_process(o.fields.owner, cls().name)) return nullptr;
    auto user = run_blocking([&] { return pool::UserPool::alloc_user(o.fields.pool); });
    if (!user) return nullptr;
    if (!user->ok()) return raise_value_error(user->error());
    return new_user(std::move(*user).value());
  });
}

PyMethodDef kMethods[] = {
    {"allocate", pool_allocate, METH_NOARGS,
     "allocate($self)\n--\n\n\nAllocate a new user account from the pool.\n\n"
     "Returns a user whose fresh, empty home directory it owns; raises an\n"
     "error when the pool is exhausted or the account cannot be prepared.\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool owned_by_this_process(const pool::OwnerProcess& owner, const char* class_name) {
  if (owner.is_current()) return true;
  raise_value_error(std::string(class_name) +
                    " belongs to the process that created it and cannot be used in a forked child");
  return false;
}

PyTypeObject* py_user_pool_type() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(
                      "PyUserPool(user_count=None)\n--\n\n\n"
                      "A class that represents a pool of UNIX users.\n\n"
                      "The pool can be used to create and release user accounts. It is\n"
                      "thread-safe and can be shared between threads.\n")},
      {Py_tp_new, reinterpret_cast<void*>(pool_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_without_gil<PyUserPoolObject>)},
      {Py_tp_methods, kMethods},
      {0, nullptr},
  };
  type = make_type("builtins.PyUserPool", sizeof(PyUserPoolObject), slots);
  return type;
}

}  // namespace marrowfen::py
