#include "pybinding/args.h"

#include <string>
#include <vector>

#include "pybinding/errors.h"

namespace marrowfen::py {

namespace {

PyObject* arity_error(const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return nullptr;
}

bool too_many_positional(const char* full_name, ParamTable params, Py_ssize_t nargs) {
  size_t required = 0;
  for (const Param& p : params) required += !p.optional;
  std::string text = full_name;
  if (params.positional() == 0 && !params.empty()) {
    // A method whose parameters are all keyword-only options was one
    // without parameters before them, and keeps what that one says.
    arity_error(text + " takes no arguments (" + std::to_string(nargs) + " given)");
    return false;
  }
  if (required == params.positional()) {
    text += " takes " + std::to_string(params.positional());
  } else {
    text += " takes from " + std::to_string(required) + " to " + std::to_string(params.positional());
  }
  text += " positional arguments but " + std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given";
  arity_error(text);
  return false;
}

// Finds the parameter named by a keyword; -1 if none.
int find_param(std::span<const Param> params, PyObject* key) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
  if (!utf8) {
    PyErr_Clear();
    return -1;
  }
  std::string_view name(utf8, static_cast<size_t>(size));
  for (size_t i = 0; i < params.size(); ++i)
    if (name == params[i].name) return static_cast<int>(i);
  return -1;
}

bool keyword_error(const char* full_name, const char* what, PyObject* key) {
  PyRef repr = PyRef::steal(PyObject_Str(key));
  const char* name = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
  if (!name) return false;
  arity_error(std::string(full_name) + what + name + "'");
  return false;
}

}  // namespace

bool Args::match_keywords(const char* full_name, ParamTable params, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  params_ = params;
  values_.fill(nullptr);
  if (nargs > static_cast<Py_ssize_t>(params.positional())) return too_many_positional(full_name, params, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) values_[i] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    int i = find_param(params, key);
    if (i < 0) return keyword_error(full_name, " got an unexpected keyword argument '", key);
    if (values_[i]) return keyword_error(full_name, " got multiple values for argument '", key);
    values_[i] = args[nargs + k];
  }
  // Required parameters that are still missing, named in order.
  std::string names;
  size_t missing = 0, total_missing = 0;
  for (size_t i = 0; i < params.size(); ++i) total_missing += !params[i].optional && !values_[i];
  for (size_t i = 0; i < params.size(); ++i) {
    if (params[i].optional || values_[i]) continue;
    ++missing;
    if (missing > 1) names += total_missing == 2 ? " and " : missing == total_missing ? ", and " : ", ";
    names += std::string("'") + params[i].name + "'";
  }
  if (missing) {
    arity_error(std::string(full_name) + " missing " + std::to_string(missing) + " required positional argument" +
                (missing == 1 ? "" : "s") + ": " + names);
    return false;
  }
  // None stands for the default of an optional parameter.
  for (size_t i = 0; i < params.size(); ++i)
    if (params[i].optional && values_[i] == Py_None) values_[i] = nullptr;
  return true;
}

bool Args::match_tuple(const char* full_name, ParamTable params, PyObject* args, PyObject* kwargs) {
  // Lay the call out as a fast call: positionals, then keyword values.
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  std::vector<PyObject*> flat(static_cast<size_t>(nargs + nkw));
  for (Py_ssize_t i = 0; i < nargs; ++i) flat[i] = PyTuple_GET_ITEM(args, i);
  PyRef kwnames;
  if (nkw) {
    kwnames = PyRef::steal(PyTuple_New(nkw));
    if (!kwnames) return false;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
      flat[nargs + k++] = value;
    }
  }
  return match_fastcall(full_name, params, flat.data(), nargs, kwnames.get());
}

bool Args::prefix_type_error(size_t i) const { return prefix_error(i, PyExc_TypeError); }

// The raised exception, if it is of `kind`, again with the argument's name
// in front of its text.
bool Args::prefix_error(size_t i, PyObject* kind) const {
  PyObject* raised = PyErr_GetRaisedException();
  if (!PyErr_GivenExceptionMatches(raised, kind)) {
    PyErr_SetRaisedException(raised);
    return false;
  }
  PyRef original = PyRef::steal(raised);
  PyRef text = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", params_[i].name, original.get()));
  if (!text) return false;
  PyRef replacement = PyRef::steal(PyObject_CallOneArg(kind, text.get()));
  if (!replacement) return false;
  PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
  PyErr_SetRaisedException(replacement.release());
  return false;
}

bool Args::fail_conversion(size_t i, const char* target) const {
  PyObject* value = values_[i] ? values_[i] : Py_None;
  std::string text = "'" + type_qualname(value) + "' object cannot be converted to '" + target + "'";
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return prefix_type_error(i);
}

bool Args::str(size_t i, std::string_view& out) const {
  PyObject* v = values_[i];
  if (!v || !PyUnicode_Check(v)) return fail_conversion(i, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(v, &size);
  if (!utf8) return prefix_type_error(i);  // UnicodeEncodeError passes through
  out = std::string_view(utf8, static_cast<size_t>(size));
  return true;
}

bool Args::str_or(size_t i, std::string_view fallback, std::string_view& out) const {
  if (!values_[i]) {
    out = fallback;
    return true;
  }
  return str(i, out);
}

bool Args::bytes(size_t i, std::string_view& out) const {
  PyObject* v = values_[i];
  if (!v || !PyBytes_Check(v)) return fail_conversion(i, "PyBytes");
  out = std::string_view(PyBytes_AS_STRING(v), static_cast<size_t>(PyBytes_GET_SIZE(v)));
  return true;
}

bool Args::flag(size_t i, bool& out) const {
  PyObject* v = values_[i];
  if (v == Py_True || v == Py_False) {
    out = v == Py_True;
    return true;
  }
  // NumPy's boolean scalar ("numpy.bool" since NumPy 2) converts by truth.
  std::string_view type_name = v ? Py_TYPE(v)->tp_name : "";
  if (type_name == "numpy.bool_" || type_name == "numpy.bool") {
    int truth = PyObject_IsTrue(v);
    if (truth < 0) return prefix_type_error(i);
    out = truth;
    return true;
  }
  return fail_conversion(i, "PyBool");
}

bool Args::flag_or(size_t i, bool fallback, bool& out) const {
  if (!values_[i]) {
    out = fallback;
    return true;
  }
  return flag(i, out);
}

bool Args::usize(size_t i, size_t& out) const {
  PyObject* v = values_[i] ? values_[i] : Py_None;
  PyRef index = PyRef::steal(PyNumber_Index(v));
  if (!index) return prefix_type_error(i);
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return prefix_type_error(i);
  if constexpr (sizeof(size_t) < sizeof(unsigned long long)) {
    if (value > SIZE_MAX) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return false;
    }
  }
  out = static_cast<size_t>(value);
  return true;
}

bool Args::usize_or(size_t i, size_t fallback, size_t& out) const {
  if (!values_[i]) {
    out = fallback;
    return true;
  }
  return usize(i, out);
}

bool Args::optional_int64(size_t i, std::optional<int64_t>& out) const {
  out.reset();
  if (!values_[i]) return true;
  PyRef index = PyRef::steal(PyNumber_Index(values_[i]));
  if (!index) return prefix_type_error(i);
  long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) return prefix_type_error(i);
  out = value;
  return true;
}

bool Args::optional_double(size_t i, std::optional<double>& out) const {
  out.reset();
  PyObject* v = values_[i];
  if (!v) return true;
  // A str has no number in it for us, though float() would parse one.
  if (!PyFloat_Check(v) && !PyIndex_Check(v) && !(Py_TYPE(v)->tp_as_number && Py_TYPE(v)->tp_as_number->nb_float)) {
    PyErr_Format(PyExc_TypeError, "must be real number, not %s", type_qualname(v).c_str());
    return prefix_type_error(i);
  }
  double value = PyFloat_AsDouble(v);
  if (value == -1.0 && PyErr_Occurred()) return prefix_type_error(i);
  out = value;
  return true;
}

bool Args::optional_fd(size_t i, std::optional<int>& out) const {
  out.reset();
  if (!values_[i]) return true;
  int fd = PyObject_AsFileDescriptor(values_[i]);
  if (fd < 0) {
    PyObject* kind = PyErr_ExceptionMatches(PyExc_ValueError) ? PyExc_ValueError : PyExc_TypeError;
    return prefix_error(i, kind);
  }
  out = fd;
  return true;
}

bool Args::instance(size_t i, PyTypeObject* type, const char* type_name, PyObject*& out) const {
  PyObject* v = values_[i];
  if (!v || !PyObject_TypeCheck(v, type)) return fail_conversion(i, type_name);
  out = v;
  return true;
}

bool check_foreign_receiver(PyObject* self, PyTypeObject* type, const char* type_name) {
  if (PyObject_TypeCheck(self, type)) return true;
  std::string text = "'" + type_qualname(self) + "' object cannot be converted to '" + type_name + "'";
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return false;
}

}  // namespace marrowfen::py
