// Running blocking host work without the interpreter lock. Our own locks are
// only ever taken with the interpreter lock released, so the two can never
// wait on each other.
#pragma once

#include "pybinding/errors.h"
#include "pybinding/object.h"

#include <string>
#include <optional>
#include <type_traits>

#include "pool/deferred_panic.h"

namespace marrowfen::py {

// Calls fn() with the interpreter lock released; a C++ exception from fn
// propagates once the lock is held again.
template <class Fn>
auto without_gil(Fn&& fn) -> decltype(fn()) {
  PyThreadState* state = PyEval_SaveThread();
  struct Restore {
    PyThreadState* state;
    ~Restore() { PyEval_RestoreThread(state); }
  } restore{state};
  return fn();
}

// Reports, as unraisable exceptions, the internal errors that destructors of
// the pool met on this thread and could not throw.
inline void report_deferred_panics() {
  PyObject* pending = nullptr;
  while (std::optional<std::string> message = pool::take_deferred_panic()) {
    // An exception already on its way (dealloc can run during unwinding)
    // must survive the report.
    if (!pending) pending = PyErr_GetRaisedException();
    write_unraisable_panic(*message, nullptr);
  }
  if (pending) PyErr_SetRaisedException(pending);
}

// tp_dealloc for classes whose fields may block on the host when dropped
// (killing a shell, releasing an account): they are dropped without the
// interpreter lock.
template <class Object>
void dealloc_without_gil(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = reinterpret_cast<Object*>(self);
  without_gil([object] { object->fields.~Fields(); });
  report_deferred_panics();
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace marrowfen::py
