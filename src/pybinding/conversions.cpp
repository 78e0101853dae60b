#include "pybinding/conversions.h"

#include <cstring>

namespace marrowfen::py {

namespace {

bool is_ascii(std::string_view s) {
  uint64_t high = 0;
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    high |= word;
  }
  for (; i < s.size(); ++i) high |= static_cast<unsigned char>(s[i]);
  return (high & 0x8080808080808080ull) == 0;
}

}  // namespace

PyObject* new_str(std::string_view s) {
  if (!is_ascii(s)) return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
  PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
  if (text && !s.empty()) std::memcpy(PyUnicode_1BYTE_DATA(text), s.data(), s.size());
  return text;
}

bool fits_read_area(size_t size) {
  if (size <= static_cast<size_t>(PY_SSIZE_T_MAX)) return true;
  raise_panic("capacity overflow");
  return false;
}

PyRef new_read_area(size_t size) {
  if (!fits_read_area(size)) return PyRef();
  PyRef area = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  // Sizes just below the limit are refused as too large for a bytes object;
  // to the caller that is memory that cannot be had.
  if (!area && PyErr_ExceptionMatches(PyExc_OverflowError)) {
    PyErr_Clear();
    PyErr_NoMemory();
  }
  return area;
}

bool shrink_read_area(PyRef& area, size_t n) {
  if (static_cast<size_t>(PyBytes_GET_SIZE(area.get())) == n) return true;
  PyObject* shrunk = area.release();
  if (_PyBytes_Resize(&shrunk, static_cast<Py_ssize_t>(n)) < 0) return false;
  area = PyRef::steal(shrunk);
  return true;
}

}  // namespace marrowfen::py
