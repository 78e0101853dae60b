#include "pybinding/py_term.h"

#include "pybinding/conversions.h"
#include "pybinding/py_fs.h"

namespace marrowfen::py {

namespace {

ClassInfo cls() { return {py_term_type(), "PyTerm"}; }

constexpr Param kFsParam[] = {{"fs"}};

PyObject* term_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Args matched;
  if (!matched.match_tuple("PyTerm.__new__()", kFsParam, args, kwargs)) return nullptr;
  PyObject* fs_object = nullptr;
  if (!matched.instance(0, py_fs_type(), "PyFs", fs_object)) return nullptr;
  auto& fs = reinterpret_cast<PyFsObject*>(fs_object)->fields.fs;
  return guarded([&] { return new_instance<PyTermObject>(type, fs); });
}

constexpr Param kCommandParam[] = {{"command"}};

PyObject* term_exec(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<PyTermObject>(self, cls(), "PyTerm.exec()", kCommandParam, args, nargs, kwnames,
                                   [](PyTermObject& o, Args& a) -> PyObject* {
                                     std::string_view command;
                                     if (!a.str(0, command)) return nullptr;
                                     auto result = o.fields.terminal.lock()->run(command);
                                     if (!result.ok()) return raise_value_error(result.error());
                                     return new_str(result.value());
                                   });
}

PyMethodDef kMethods[] = {
    {"exec", fastcall(term_exec),
     METH_FASTCALL | METH_KEYWORDS, "exec($self, command)\n--\n\n\nExecute a command in the terminal.\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* py_term_type() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("PyTerm(fs)\n--\n\n\nA structure representing a simple terminal\n")},
      {Py_tp_new, reinterpret_cast<void*>(term_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyTermObject>)},
      {Py_tp_methods, kMethods},
      {0, nullptr},
  };
  type = make_type("builtins.PyTerm", sizeof(PyTermObject), slots);
  return type;
}

}  // namespace marrowfen::py
