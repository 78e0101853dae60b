// Whence: the three seek origins as single, unhashable instances.
#pragma once

#include "fs/file_handle.h"
#include "pybinding/object.h"

namespace marrowfen::py {

struct WhenceObject : ObjectBase {
  static constexpr char kName[] = "Whence";
  struct Fields {
    long value;
  } fields;
};

PyTypeObject* whence_type();

// The seek origin a member selects: SEEK_SET Start, SEEK_CUR Current,
// SEEK_END End.
fs::SeekOrigin whence_origin(PyObject* member);

}  // namespace marrowfen::py
