// How failures reach Python: expected failures become ValueError with their
// text alone; internal errors become PanicException, after a short report on
// file descriptor 2.
#pragma once

#include "pybinding/py_ref.h"

#include <string>
#include <string_view>

namespace marrowfen::py {

// The PanicException class, created once per process on first use.
PyObject* panic_exception_type();

// Sets ValueError(text); returns nullptr for `return raise_value_error(...)`.
PyObject* raise_value_error(std::string_view text);
// Reports an internal error on fd 2 and sets PanicException(message).
PyObject* raise_panic(std::string_view message);
// Translates the C++ exception being handled (call inside a catch block).
// The unwinding of a thread that the shutting-down interpreter ends is
// rethrown, not translated.
PyObject* raise_current_exception();

// Runs `fn` (returning PyObject*), turning any escaping C++ exception into
// the matching Python exception.
template <class Fn>
PyObject* guarded(Fn&& fn) {
  try {
    return fn();
  } catch (...) {
    return raise_current_exception();
  }
}

// The text form of an object's type for conversion errors: its __qualname__.
std::string type_qualname(PyObject* obj);

// Writes a panic report for an exception that cannot reach a caller (in a
// destructor), through the unraisable-exception hook.
void write_unraisable_panic(std::string_view message, PyObject* context);

}  // namespace marrowfen::py
