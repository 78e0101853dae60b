// PyFileHandle: one FileHandle behind a poisonable mutual-exclusion lock.
#pragma once

#include "base/mutex.h"
#include "fs/file_handle.h"
#include "pybinding/object.h"

namespace marrowfen::py {

struct PyFileHandleObject : ObjectBase {
  struct Fields {
    explicit Fields(fs::FileHandle h) : handle(std::move(h)) {}
    Mutex<fs::FileHandle> handle;
  } fields;
};

PyTypeObject* py_file_handle_type();

// Wraps an open handle; if the object cannot be made, the handle is
// destroyed, which closes it.
PyObject* new_file_handle(fs::FileHandle handle);

}  // namespace marrowfen::py
