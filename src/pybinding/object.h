// What every class of the module shares: the object header, the course of a
// method call, and making and dropping instances.
// (class_def.h defines the classes themselves.)
#pragma once

#include "pybinding/args.h"
#include "pybinding/errors.h"
#include "pybinding/py_ref.h"

#include <new>
#include <utility>

namespace marrowfen::py {

// The header of every instance. No call needs an object to itself: the
// fields that a call may change are behind locks of their own.
struct ObjectBase {
  PyObject_HEAD
};

// A class of the module: its Python type and the name used in errors.
struct ClassInfo {
  PyTypeObject* type;
  const char* name;
};

// The course of a fast-call method: match the arguments, check the receiver,
// run `body(self, args)` with C++ exceptions translated.
template <class Object, class Body>
PyObject* call_method(PyObject* self, const ClassInfo& cls, const char* full_name, ParamTable params,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  Args matched;
  if (!matched.match_fastcall(full_name, params, args, nargs, kwnames)) return nullptr;
  if (!check_receiver(self, cls.type, cls.name)) return nullptr;
  auto* object = reinterpret_cast<Object*>(self);
  return guarded([&] { return body(*object, matched); });
}

// The same for methods that take no arguments (the interpreter refuses any).
template <class Object, class Body>
PyObject* call_noargs(PyObject* self, const ClassInfo& cls, Body&& body) {
  if (!check_receiver(self, cls.type, cls.name)) return nullptr;
  auto* object = reinterpret_cast<Object*>(self);
  return guarded([&] { return body(*object); });
}

// An instance whose memory is had but whose C++ fields are not built yet,
// for calls that must not fail once they have changed something: allocate
// first, then change, then build. Dropped unbuilt, it frees the memory
// without running the fields down.
template <class Object>
class UnbuiltInstance {
 public:
  // Sets an exception (and tests false) when the memory cannot be had, also
  // when the type itself could not be made (`type` is nullptr).
  explicit UnbuiltInstance(PyTypeObject* type) : self_(type ? type->tp_alloc(type, 0) : nullptr) {}
  UnbuiltInstance(const UnbuiltInstance&) = delete;
  UnbuiltInstance& operator=(const UnbuiltInstance&) = delete;
  ~UnbuiltInstance() {
    if (!self_) return;
    PyTypeObject* type = Py_TYPE(self_);
    type->tp_free(self_);
    Py_DECREF(type);
  }
  explicit operator bool() const { return self_ != nullptr; }

  // Constructs the fields from `args` and hands the instance over; nullptr
  // with an exception set if the fields' constructor throws.
  template <class... A>
  PyObject* build(A&&... args) {
    auto* object = reinterpret_cast<Object*>(self_);
    try {
      new (&object->fields) typename Object::Fields{std::forward<A>(args)...};
    } catch (...) {
      return raise_current_exception();
    }
    return std::exchange(self_, nullptr);
  }

 private:
  PyObject* self_;
};

// Allocates an instance of `type` and constructs its C++ fields in place
// from `args`. Returns nullptr with an exception set on failure, also when
// the type itself could not be made (`type` is nullptr).
template <class Object, class... A>
PyObject* new_instance(PyTypeObject* type, A&&... args) {
  UnbuiltInstance<Object> instance(type);
  if (!instance) return nullptr;
  return instance.build(std::forward<A>(args)...);
}

// tp_dealloc for classes whose C++ fields live in `fields`.
template <class Object>
void dealloc_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Object*>(self)->fields.~Fields();
  type->tp_free(self);
  Py_DECREF(type);
}

// `None` for operations with no result.
inline PyObject* none() { Py_RETURN_NONE; }

}  // namespace marrowfen::py
