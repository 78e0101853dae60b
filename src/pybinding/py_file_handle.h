// PyFileHandle: one FileHandle behind a poisonable mutual-exclusion lock.
#pragma once

#include "base/mutex.h"
#include "fs/file_handle.h"
#include "pybinding/conversions.h"
#include "pybinding/object.h"

namespace marrowfen::py {

struct PyFileHandleObject : ObjectBase {
  static constexpr char kName[] = "PyFileHandle";
  struct Fields {
    explicit Fields(fs::FileHandle&& h) : handle(std::move(h)) {}
    Mutex<fs::FileHandle> handle;
  } fields;
};

PyTypeObject* py_file_handle_type();

// The PyFileHandle of the handle that `open` returns (an
// IoResult<FileHandle>), or ValueError with its error. The object's memory is
// had before `open` runs, so an open that creates the file never ends in a
// MemoryError with the file made.
template <class Open>
PyObject* open_file_handle(Open&& open) {
  UnbuiltInstance<PyFileHandleObject> instance(py_file_handle_type());
  if (!instance) return nullptr;
  auto handle = open();
  if (!handle.ok()) return raise_io_error(handle.error());
  return instance.build(std::move(handle).value());
}

}  // namespace marrowfen::py
