#include "pybinding/object.h"

namespace marrowfen::py {

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

PyTypeObject* make_type(const char* qualified_name, int basicsize, PyType_Slot* slots) {
  // Immutable, as CPython's own types are: no attribute of the class can be
  // set or deleted from Python, so no program can break it for every other
  // user of the module in the process.
  PyType_Spec spec = {qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace marrowfen::py
