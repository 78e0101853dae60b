#include "pybinding/py_term.h"

#include "pybinding/class_def.h"
#include "pybinding/conversions.h"
#include "pybinding/py_fs.h"

namespace marrowfen::py {

namespace {

PyObject* term_new(PyTypeObject* type, Args& a) {
  PyObject* fs_object = nullptr;
  if (!a.instance(0, py_fs_type(), PyFsObject::kName, fs_object)) return nullptr;
  auto& fs = reinterpret_cast<PyFsObject*>(fs_object)->fields.fs;
  return new_instance<PyTermObject>(type, fs);
}

PyObject* term_exec(PyTermObject& o, Args& a) {
  std::string_view command;
  if (!a.str(0, command)) return nullptr;
  auto result = o.fields.terminal.lock()->run(command);
  if (!result.ok()) return raise_value_error(result.error());
  return new_str(result.value());
}

constexpr Param kFsParam[] = {{"fs"}};
constexpr Param kCommandParam[] = {{"command"}};

constexpr Method<PyTermObject> kMethods[] = {
    {"exec", kCommandParam, term_exec, "\nExecute a command in the terminal.\n"},
};

constexpr ClassDef<PyTermObject> kClass{
    .doc = "\nA structure representing a simple terminal\n",
    .construct = term_new,
    .constructor_params = kFsParam,
    .methods = kMethods,
};

}  // namespace

PyTypeObject* py_term_type() { return class_type<kClass>(); }

}  // namespace marrowfen::py
