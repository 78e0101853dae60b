#include "pybinding/object.h"

namespace marrowfen::py {

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

PyTypeObject* make_type(const char* qualified_name, int basicsize, PyType_Slot* slots) {
  PyType_Spec spec = {qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace marrowfen::py
