// Argument matching and conversion, declared once per method as a small
// table of parameters. Every class gets the exact arity and conversion
// errors from here instead of writing them again.
#pragma once

#include "pybinding/py_ref.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace marrowfen::py {

struct Param {
  const char* name;
  bool optional = false;  // absent or None means the default
  // Given only by keyword; always optional. Such parameters come last and
  // stay out of the text signature and the arity messages, so that a new
  // option leaves every written call form and text as it was.
  bool keyword_only = false;
};

// The most parameters a method may have: the matcher keeps the matched
// arguments in an array of this size.
inline constexpr size_t kMaxParams = 8;

// A parameter table as the matcher takes it. It is made only from an array,
// and an array longer than kMaxParams does not build.
class ParamTable : public std::span<const Param> {
 public:
  constexpr ParamTable() = default;
  template <size_t N>
  constexpr ParamTable(const Param (&params)[N])  // NOLINT: tables convert implicitly
      : std::span<const Param>(params) {
    static_assert(N <= kMaxParams, "parameter table longer than kMaxParams (pybinding/args.h)");
    while (positional_ < N && !params[positional_].keyword_only) ++positional_;
  }
  // The parameters that may be given by position: all but the keyword-only
  // ones at the end.
  constexpr size_t positional() const { return positional_; }

 private:
  size_t positional_ = 0;
};

// The matched arguments of one call, borrowed from the caller. An absent
// argument, or None for an optional parameter, is nullptr.
class Args {
 public:
  // `full_name` is e.g. "PyFs.mkdir()", used in the arity messages.
  bool match_fastcall(const char* full_name, ParamTable params, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    // The common call: every argument by position, none missing.
    if (kwnames || static_cast<size_t>(nargs) != params.positional())
      return match_keywords(full_name, params, args, nargs, kwnames);
    params_ = params;
    for (size_t i = 0; i < params.positional(); ++i)
      values_[i] = params[i].optional && args[i] == Py_None ? nullptr : args[i];
    for (size_t i = params.positional(); i < params.size(); ++i) values_[i] = nullptr;
    return true;
  }
  bool match_tuple(const char* full_name, ParamTable params, PyObject* args, PyObject* kwargs);

  // Converters: each returns false with the Python error set. The text and
  // bytes views borrow from the argument objects and live as long as the call.
  bool str(size_t i, std::string_view& out) const;
  bool str_or(size_t i, std::string_view fallback, std::string_view& out) const;
  bool bytes(size_t i, std::string_view& out) const;
  bool flag(size_t i, bool& out) const;
  bool flag_or(size_t i, bool fallback, bool& out) const;
  bool usize(size_t i, size_t& out) const;
  bool usize_or(size_t i, size_t fallback, size_t& out) const;
  // Optional parameters whose absence means "none": an integer (anything
  // with __index__), a number (a float, or anything with __float__ or
  // __index__). Out of range is the interpreter's OverflowError.
  bool optional_int64(size_t i, std::optional<int64_t>& out) const;
  bool optional_double(size_t i, std::optional<double>& out) const;
  // An optional file descriptor: an int, or an object with fileno(), as
  // os.fstat() takes one. A negative one is a ValueError.
  bool optional_fd(size_t i, std::optional<int>& out) const;
  // An instance of `type` or of a subclass, named `type_name` in errors.
  bool instance(size_t i, PyTypeObject* type, const char* type_name, PyObject*& out) const;

 private:
  bool match_keywords(const char* full_name, ParamTable params, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
  bool fail_conversion(size_t i, const char* target) const;
  bool prefix_type_error(size_t i) const;
  bool prefix_error(size_t i, PyObject* kind) const;

  std::span<const Param> params_;
  std::array<PyObject*, kMaxParams> values_{};
};

// The receiver check of a method: `'int' object cannot be converted to 'PyFs'`.
bool check_foreign_receiver(PyObject* self, PyTypeObject* type, const char* type_name);
inline bool check_receiver(PyObject* self, PyTypeObject* type, const char* type_name) {
  return Py_IS_TYPE(self, type) || check_foreign_receiver(self, type, type_name);
}

}  // namespace marrowfen::py
