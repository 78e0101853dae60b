// The module's entry point: creates `marrowfen` once per process and
// registers its classes, in a fixed order, with `__all__`.
#include <atomic>

#include "pybinding/errors.h"
#include "pybinding/py_file_handle.h"
#include "pybinding/py_fs.h"
#include "pybinding/py_term.h"
#include "pybinding/py_user_pool.h"
#include "pybinding/stdout_line.h"
#include "pybinding/whence.h"

namespace marrowfen::py {

namespace {

struct ClassEntry {
  const char* name;
  PyTypeObject* (*get)();
};

constexpr ClassEntry kClasses[] = {
    {PyFsObject::kName, py_fs_type},
    {PyFileHandleObject::kName, py_file_handle_type},
    {PyTermObject::kName, py_term_type},
    {WhenceObject::kName, whence_type},
    {PyUserPoolObject::kName, py_user_pool_type},
    {PyUserObject::kName, py_user_type},
    {PyTerminalSessionObject::kName, py_terminal_session_type},
};

// A size of 0 (not -1) makes the interpreter call the initialisation again on
// every import, so that it can hand back the one module and refuse a second
// interpreter.
PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "marrowfen", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module made by the first successful initialisation, and the
// interpreter that made it.
PyObject* g_module = nullptr;
std::atomic<int64_t> g_interpreter_id{-1};

bool add_class(PyObject* module, const ClassEntry& entry) {
  PyTypeObject* type = entry.get();
  if (!type) return false;
  PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");
  if (!all) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list || PyModule_AddObjectRef(module, "__all__", list.get()) < 0) return false;
    all = list.get();
  }
  PyRef name = PyRef::steal(PyUnicode_FromString(entry.name));
  if (!name || PyList_Append(all, name.get()) < 0) return false;
  return PyModule_AddObjectRef(module, entry.name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* init_module() {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "marrowfen does not support sub-interpreters: it can only be imported "
                    "in the interpreter that first loaded it");
    return nullptr;
  }
  if (g_module) return Py_NewRef(g_module);
  configure_read_diagnostics();
  PyRef module = PyRef::steal(PyModule_Create2(&kModuleDef, PYTHON_API_VERSION));
  if (!module) return nullptr;
  for (const ClassEntry& entry : kClasses)
    if (!add_class(module.get(), entry)) return nullptr;
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

}  // namespace marrowfen::py

PyMODINIT_FUNC PyInit_marrowfen() { return marrowfen::py::init_module(); }
