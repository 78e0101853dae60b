// Results of the core turned into Python values or exceptions.
#pragma once

#include <string>
#include <string_view>

#include "fs/filesystem.h"
#include "pybinding/errors.h"

namespace marrowfen::py {

// A new str from UTF-8. Pure ASCII, the common case for names and command
// output, is copied straight in without running the decoder.
PyObject* new_str(std::string_view s);

inline PyObject* raise_io_error(const fs::IoError& e) { return raise_value_error(e.to_string()); }

// None, or ValueError with the error's text.
inline PyObject* status_to_python(const fs::IoStatus& status) {
  if (!status.ok()) return raise_io_error(status.error());
  Py_RETURN_NONE;
}

// Whether a read of `size` bytes can be served at all: sizes above the
// largest signed word are an internal error ("capacity overflow", raised).
bool fits_read_area(size_t size);
// An uninitialised bytes object of `size` bytes to read into (sizes that
// fits_read_area refuses included): sizes that cannot be allocated raise
// MemoryError.
PyRef new_read_area(size_t size);
// Shrinks the read area to the `n` bytes actually read; false on failure.
bool shrink_read_area(PyRef& area, size_t n);

}  // namespace marrowfen::py
