#include "pybinding/whence.h"

#include "pybinding/class_def.h"

namespace marrowfen::py {

namespace {

constexpr const char* kNames[] = {"Whence.SEEK_SET", "Whence.SEEK_CUR", "Whence.SEEK_END"};
// Indexed by member value: SEEK_CUR (1) selects Current, SEEK_END (2) End.
constexpr fs::SeekOrigin kOrigins[] = {fs::SeekOrigin::Start, fs::SeekOrigin::Current, fs::SeekOrigin::End};

long value_of(PyObject* member) { return reinterpret_cast<WhenceObject*>(member)->fields.value; }

PyObject* whence_repr(PyObject* self) { return PyUnicode_FromString(kNames[value_of(self)]); }

PyObject* whence_int(PyObject* self) { return PyLong_FromLong(value_of(self)); }

PyObject* whence_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  long mine = value_of(self);
  bool equal;
  Py_ssize_t theirs = -1;
  bool is_int = false;
  if (PyIndex_Check(other)) {
    PyRef index = PyRef::steal(PyNumber_Index(other));
    if (index) theirs = PyLong_AsSsize_t(index.get());
    is_int = index && !(theirs == -1 && PyErr_Occurred());
    if (!is_int) PyErr_Clear();
  }
  if (is_int) {
    equal = mine == theirs;
  } else if (PyObject_TypeCheck(other, whence_type())) {
    equal = mine == value_of(other);
  } else {
    Py_RETURN_NOTIMPLEMENTED;
  }
  return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

constexpr const char* kMembers[] = {"SEEK_SET", "SEEK_CUR", "SEEK_END"};

// The three members, made once with the class. The type is immutable from
// the start, so they go straight into its dictionary.
bool add_members(PyTypeObject* type) {
  for (long value = 0; value < 3; ++value) {
    PyRef member = PyRef::steal(new_instance<WhenceObject>(type, value));
    if (!member || PyDict_SetItemString(type->tp_dict, kMembers[value], member.get()) < 0) return false;
  }
  PyType_Modified(type);
  return true;
}

constexpr ClassDef<WhenceObject> kClass{
    .doc = "\nA small enumeration to determine the whence\nwhen seeking in a file.\n",
    .str = whence_repr,
    .repr = whence_repr,
    .to_int = whence_int,
    .richcompare = whence_richcompare,
    .finish = add_members,
};

}  // namespace

PyTypeObject* whence_type() { return class_type<kClass>(); }

fs::SeekOrigin whence_origin(PyObject* member) { return kOrigins[value_of(member)]; }

}  // namespace marrowfen::py
