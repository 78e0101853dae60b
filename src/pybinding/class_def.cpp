#include "pybinding/class_def.h"

namespace marrowfen::py {

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

PyTypeObject* create_heap_type(const char* qualified_name, int basicsize, PyType_Slot* slots,
                               bool (*finish)(PyTypeObject*)) {
  // Immutable, as CPython's own types are: no attribute of the class can be
  // set or deleted from Python, so no program can break it for every other
  // user of the module in the process.
  PyType_Spec spec = {qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  if (type && finish && !finish(type)) Py_CLEAR(type);
  return type;
}

}  // namespace marrowfen::py
