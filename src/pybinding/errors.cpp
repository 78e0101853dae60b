#include "pybinding/errors.h"

#include <cxxabi.h>

#include <new>

#include "base/panic.h"
#include "base/write_all.h"

namespace marrowfen::py {

namespace {

constexpr const char* kGenericPanic = "an internal error occurred in marrowfen (no message)";

void report(std::string_view message) {
  std::string line = "marrowfen: internal error: ";
  line += message;
  line += '\n';
  (void)write_all(2, line);
}

}  // namespace

PyObject* panic_exception_type() {
  static PyObject* type =
      PyErr_NewExceptionWithDoc("marrowfen.PanicException",
                                "An internal error of marrowfen: a broken invariant abandoned the call.\n\n"
                                "It derives from BaseException, not Exception, so an ordinary\n"
                                "`except Exception` does not catch it and it normally ends the program.",
                                PyExc_BaseException, nullptr);
  return type;
}

PyObject* raise_value_error(std::string_view text) {
  PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

PyObject* raise_panic(std::string_view message) {
  if (message.empty()) message = kGenericPanic;
  report(message);
  PyObject* type = panic_exception_type();
  if (!type) return nullptr;
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise_current_exception() {
  try {
    throw;
  } catch (abi::__forced_unwind&) {
    throw;  // a thread ended while the interpreter shuts down: let it end
  } catch (const Panic& p) {
    return raise_panic(p.message());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  } catch (...) {
    return raise_panic(kGenericPanic);
  }
}

std::string type_qualname(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  Py_ssize_t size = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return std::string(utf8, static_cast<size_t>(size));
}

void write_unraisable_panic(std::string_view message, PyObject* context) {
  raise_panic(message);
  PyErr_WriteUnraisable(context);
}

}  // namespace marrowfen::py
