// Results of the core turned into Python values or exceptions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fs/filesystem.h"
#include "pybinding/errors.h"

namespace marrowfen::py {

inline PyObject* new_str(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

inline PyObject* raise_io_error(const fs::IoError& e) { return raise_value_error(e.to_string()); }

// None, or ValueError with the error's text.
inline PyObject* status_to_python(const fs::IoStatus& status) {
  if (!status.ok()) return raise_io_error(status.error());
  Py_RETURN_NONE;
}

// A list of str from names.
PyObject* new_str_list(const std::vector<std::string>& names);

}  // namespace marrowfen::py
