// PyFs: the Python face of one in-memory FileSystem.
#pragma once

#include <memory>

#include "fs/filesystem.h"
#include "pybinding/object.h"

namespace marrowfen::py {

struct PyFsObject : ObjectBase {
  static constexpr char kName[] = "PyFs";
  struct Fields {
    std::shared_ptr<fs::FileSystem> fs;
  } fields;
};

// The PyFs class, created once per process on first need.
PyTypeObject* py_fs_type();

}  // namespace marrowfen::py
