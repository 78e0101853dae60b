// Defining a class of the module: one table per class, from which the
// Python type, its method table, every docstring's text signature and the
// names in the arity errors are all made, so none of them can drift apart.
//
// A class file declares, in this order:
//   - the bodies of its methods: `PyObject* body(Object&, Args&)`, or
//     `PyObject* body(Object&)` for a method without parameters (the
//     interpreter itself then refuses any argument);
//   - the parameter table of each method (args.h);
//   - `constexpr Method<Object> kMethods[]`: name, parameters, body and the
//     docstring's body, in the order the class shows them;
//   - `constexpr ClassDef<Object> kClass`: the class docstring's body, the
//     constructor if Python may call one, the methods and the other slots;
//   - the type's getter: `PyTypeObject* x_type() { return class_type<kClass>(); }`.
// The class name is the object's `kName`. A new class is registered in
// module.cpp (kClasses, in the order of `__all__`). A new class or method is
// also declared in the type stubs (python/marrowfen-stubs/__init__.pyi) and
// given its section in docs/api.md (scripts/gen_api_docs.py); test_stubs.py
// and test_api_docs.py name what is missing.
//
// Texts are made at compile time: a method's docstring is its name, its
// parameters as in "mkdir($self, path)" ("=None" after an optional one;
// keyword-only options are left out, see args.h),
// "\n--\n\n" and the body; the interpreter reads `__text_signature__` and
// `__doc__` from that. A class's docstring carries its constructor's
// signature ("PyTerm(fs)"), or none when Python cannot construct it. Every
// body begins and ends with a newline.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "pybinding/args.h"
#include "pybinding/object.h"

namespace marrowfen::py {

template <class Object>
struct Method {
  using Body = PyObject* (*)(Object&, Args&);
  using NoArgsBody = PyObject* (*)(Object&);

  // A method with parameters. `shown_signature` replaces the parameters in
  // the text signature, e.g. "(recurse=False)", where the written signature
  // is not the one the method takes.
  constexpr Method(const char* name, ParamTable params, Body body, const char* doc,
                   const char* shown_signature = nullptr)
      : name(name), params(params), body(body), doc(doc), shown_signature(shown_signature) {}
  // A method without parameters.
  constexpr Method(const char* name, NoArgsBody body, const char* doc) : name(name), noargs_body(body), doc(doc) {}

  const char* name;
  ParamTable params;
  Body body = nullptr;
  NoArgsBody noargs_body = nullptr;
  const char* doc;
  const char* shown_signature = nullptr;
};

template <class O>
struct ClassDef {
  using Object = O;

  const char* doc;
  // The constructor, or nullptr for a class that cannot be made from Python.
  PyObject* (*construct)(PyTypeObject* type, Args& args) = nullptr;
  ParamTable constructor_params = {};
  std::span<const Method<Object>> methods = {};
  // dealloc_without_gil (gil.h) for objects whose fields block when dropped.
  destructor dealloc = dealloc_instance<Object>;
  // The other slots a class may have; nullptr where it has none.
  reprfunc str = nullptr;
  reprfunc repr = nullptr;
  unaryfunc to_int = nullptr;
  richcmpfunc richcompare = nullptr;
  // Runs on the new type before it is handed out (Whence adds its members);
  // false with an exception set when it fails.
  bool (*finish)(PyTypeObject* type) = nullptr;
};

// The tp_new of classes that cannot be made from Python.
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*);

// Creates a heap type named `qualified_name` ("builtins.<name>"): immutable,
// no subclassing, no instance dictionary, no part in cycle collection. Then
// runs `finish` on it, if any. Returns nullptr with an exception set on
// failure.
PyTypeObject* create_heap_type(const char* qualified_name, int basicsize, PyType_Slot* slots,
                               bool (*finish)(PyTypeObject*));

template <const auto& Def>
PyTypeObject* class_type();

namespace class_def_detail {

// Appends pieces to a buffer, or only counts them when it has none.
class TextWriter {
 public:
  constexpr explicit TextWriter(char* out = nullptr) : out_(out) {}
  constexpr TextWriter& operator<<(std::string_view piece) {
    for (char c : piece) {
      if (out_) out_[size_] = c;
      ++size_;
    }
    return *this;
  }
  constexpr size_t size() const { return size_; }

 private:
  char* out_;
  size_t size_ = 0;
};

// What a captureless `compose(TextWriter&)` writes, NUL-terminated, made at
// compile time: kept in a constexpr variable, it lives as long as the
// process, as CPython needs its type names and docstrings to.
template <class Compose>
consteval auto static_text(Compose) {
  constexpr size_t size = [] {
    TextWriter counter;
    Compose{}(counter);
    return counter.size();
  }();
  std::array<char, size + 1> text{};
  TextWriter writer(text.data());
  Compose{}(writer);
  return text;
}

// "(a, b=None)", with `receiver` ("$self") first when there is one.
constexpr void write_parameters(TextWriter& out, std::string_view receiver, ParamTable params) {
  out << "(" << receiver;
  bool first = receiver.empty();
  for (const Param& param : params) {
    if (param.keyword_only) break;  // options added later stay out of sight
    if (!first) out << ", ";
    first = false;
    out << param.name;
    if (param.optional) out << "=None";
  }
  out << ")";
}

constexpr std::string_view kSignatureEnd = "\n--\n\n";

// Whether an optional entry of a table is given.
template <class Entry>
constexpr bool given(Entry entry) {
  return entry != nullptr;
}

template <const auto& Def>
using ObjectOf = typename std::remove_cvref_t<decltype(Def)>::Object;

template <const auto& Def>
inline constexpr auto kQualifiedName = static_text([](TextWriter& out) { out << "builtins." << ObjectOf<Def>::kName; });

template <const auto& Def>
inline constexpr auto kClassDoc = static_text([](TextWriter& out) {
  if constexpr (given(Def.construct)) {
    out << ObjectOf<Def>::kName;
    write_parameters(out, "", Def.constructor_params);
    out << kSignatureEnd;
  }
  out << Def.doc;
});

// "PyFs.__new__()", as the arity errors of the constructor name it.
template <const auto& Def>
inline constexpr auto kConstructorName =
    static_text([](TextWriter& out) { out << ObjectOf<Def>::kName << ".__new__()"; });

// "PyFs.mkdir()", as the arity errors of method I name it.
template <const auto& Def, size_t I>
inline constexpr auto kMethodName =
    static_text([](TextWriter& out) { out << ObjectOf<Def>::kName << "." << Def.methods[I].name << "()"; });

template <const auto& Def, size_t I>
inline constexpr auto kMethodDoc = static_text([](TextWriter& out) {
  constexpr const auto& method = Def.methods[I];
  out << method.name;
  if constexpr (given(method.shown_signature)) {
    out << method.shown_signature;
  } else {
    write_parameters(out, "$self", method.params);
  }
  out << kSignatureEnd << method.doc;
});

template <const auto& Def>
ClassInfo class_info() {
  return {class_type<Def>(), ObjectOf<Def>::kName};
}

// The entries call the body as a constant, so that it can be inlined: the
// call is the hot path.
template <const auto& Def, size_t I>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using Object = ObjectOf<Def>;
  constexpr auto body = Def.methods[I].body;
  return call_method<Object>(self, class_info<Def>(), kMethodName<Def, I>.data(), Def.methods[I].params, args, nargs,
                             kwnames, [](Object& o, Args& a) { return body(o, a); });
}

template <const auto& Def, size_t I>
PyObject* noargs_entry(PyObject* self, PyObject*) {
  using Object = ObjectOf<Def>;
  constexpr auto body = Def.methods[I].noargs_body;
  return call_noargs<Object>(self, class_info<Def>(), [](Object& o) { return body(o); });
}

// Constructors take an argument tuple and a keyword dictionary; a C++
// exception from the body becomes its Python exception as in methods.
template <const auto& Def>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Args matched;
  if (!matched.match_tuple(kConstructorName<Def>.data(), Def.constructor_params, args, kwargs)) return nullptr;
  return guarded([&] { return Def.construct(type, matched); });
}

template <const auto& Def, size_t I>
PyMethodDef method_def() {
  constexpr const auto& method = Def.methods[I];
  if constexpr (given(method.noargs_body)) {
    return {method.name, noargs_entry<Def, I>, METH_NOARGS, kMethodDoc<Def, I>.data()};
  } else {
    auto entry = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_entry<Def, I>));
    return {method.name, entry, METH_FASTCALL | METH_KEYWORDS, kMethodDoc<Def, I>.data()};
  }
}

// The class's PyMethodDef table, ending with the empty entry.
template <const auto& Def, size_t... I>
std::array<PyMethodDef, sizeof...(I) + 1> method_defs(std::index_sequence<I...>) {
  return {method_def<Def, I>()..., PyMethodDef{nullptr, nullptr, 0, nullptr}};
}

template <const auto& Def>
PyTypeObject* create_class() {
  using Object = ObjectOf<Def>;
  constexpr size_t kMethodCount = Def.methods.size();
  // The type keeps pointers into the method table for as long as it lives.
  static std::array<PyMethodDef, kMethodCount + 1> methods = method_defs<Def>(std::make_index_sequence<kMethodCount>{});
  auto slot = [](int id, auto* function) { return PyType_Slot{id, reinterpret_cast<void*>(function)}; };

  std::array<PyType_Slot, 10> slots{};
  size_t n = 0;
  slots[n++] = {Py_tp_doc, const_cast<char*>(kClassDoc<Def>.data())};
  if constexpr (given(Def.construct)) {
    slots[n++] = slot(Py_tp_new, constructor_entry<Def>);
  } else {
    slots[n++] = slot(Py_tp_new, no_constructor);
  }
  slots[n++] = slot(Py_tp_dealloc, Def.dealloc);
  if constexpr (given(Def.str)) slots[n++] = slot(Py_tp_str, Def.str);
  if constexpr (given(Def.repr)) slots[n++] = slot(Py_tp_repr, Def.repr);
  if constexpr (given(Def.to_int)) slots[n++] = slot(Py_nb_int, Def.to_int);
  if constexpr (given(Def.richcompare)) slots[n++] = slot(Py_tp_richcompare, Def.richcompare);
  if constexpr (kMethodCount > 0) slots[n++] = {Py_tp_methods, methods.data()};
  slots[n] = {0, nullptr};
  return create_heap_type(kQualifiedName<Def>.data(), static_cast<int>(sizeof(Object)), slots.data(), Def.finish);
}

}  // namespace class_def_detail

// The Python type of the class that `Def` (a ClassDef) defines, created on
// first need and kept for the life of the process. nullptr with an exception
// set when it cannot be made; the next call tries again.
template <const auto& Def>
PyTypeObject* class_type() {
  static PyTypeObject* type = nullptr;
  if (!type) type = class_def_detail::create_class<Def>();
  return type;
}

}  // namespace marrowfen::py
