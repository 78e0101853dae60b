#include "pybinding/py_fs.h"

#include "fs/file_handle.h"
#include "fs/tree.h"
#include "pybinding/conversions.h"
#include "pybinding/py_file_handle.h"

namespace marrowfen::py {

namespace {

ClassInfo cls() { return {py_fs_type(), "PyFs"}; }

PyObject* fs_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Args matched;
  if (!matched.match_tuple("PyFs.__new__()", {}, args, kwargs)) return nullptr;
  return guarded([&] { return new_instance<PyFsObject>(type, fs::FileSystem::create()); });
}

PyObject* fs_str(PyObject* self) {
  return guarded([&] { return new_str(reinterpret_cast<PyFsObject*>(self)->fields.fs->debug_string()); });
}

constexpr Param kPath[] = {{"path"}};

PyObject* fs_mkdir(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<PyFsObject>(self, cls(), "PyFs.mkdir()", kPath, args, nargs, kwnames,
                                 [](PyFsObject& o, Args& a) -> PyObject* {
                                   std::string_view path;
                                   if (!a.str(0, path)) return nullptr;
                                   return status_to_python(o.fields.fs->mkdir(path));
                                 });
}

PyObject* fs_touch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<PyFsObject>(self, cls(), "PyFs.touch()", kPath, args, nargs, kwnames,
                                 [](PyFsObject& o, Args& a) -> PyObject* {
                                   std::string_view path;
                                   if (!a.str(0, path)) return nullptr;
                                   return status_to_python(o.fields.fs->touch(path));
                                 });
}

constexpr Param kOpenParams[] = {{"path"}, {"mode"}};

PyObject* fs_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<PyFsObject>(
      self, cls(), "PyFs.open()", kOpenParams, args, nargs, kwnames, [](PyFsObject& o, Args& a) -> PyObject* {
        std::string_view path, mode_text;
        if (!a.str(0, path) || !a.str(1, mode_text)) return nullptr;
        // A bad mode is refused before the filesystem is touched.
        auto mode = fs::FileHandleType::from_str(mode_text);
        if (!mode.ok()) return raise_io_error(mode.error());
        return open_file_handle([&] { return fs::FileSystem::open(o.fields.fs, path, mode.value(), true); });
      });
}

PyObject* fs_listdir(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<PyFsObject>(
      self, cls(), "PyFs.listdir()", kPath, args, nargs, kwnames, [](PyFsObject& o, Args& a) -> PyObject* {
        std::string_view path;
        if (!a.str(0, path)) return nullptr;
        auto id = o.fields.fs->get_inode_by_path_raw(path);
        if (!id.ok()) return raise_io_error(id.error());
        PyRef files = PyRef::steal(PyList_New(0));
        PyRef dirs = PyRef::steal(PyList_New(0));
        if (!files || !dirs) return nullptr;
        bool failed = false;
        auto listed = o.fields.fs->for_each_entry(id.value(), [&](std::string_view name, bool is_dir) {
          PyRef text = PyRef::steal(new_str(name));
          failed = !text || PyList_Append(is_dir ? dirs.get() : files.get(), text.get()) < 0;
          return !failed;
        });
        if (failed) return nullptr;
        if (!listed.ok()) return raise_io_error(listed.error());
        return PyTuple_Pack(2, files.get(), dirs.get());
      });
}

constexpr Param kRemoveParams[] = {{"path"}, {"recurse"}};

PyObject* fs_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<PyFsObject>(self, cls(), "PyFs.remove()", kRemoveParams, args, nargs, kwnames,
                                 [](PyFsObject& o, Args& a) -> PyObject* {
                                   std::string_view path;
                                   bool recurse = false;
                                   if (!a.str(0, path) || !a.flag(1, recurse)) return nullptr;
                                   return status_to_python(o.fields.fs->rm(path, recurse));
                                 });
}

constexpr Param kTreeParams[] = {{"path"}, {"ident", true}};

PyObject* fs_tree(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<PyFsObject>(self, cls(), "PyFs.tree()", kTreeParams, args, nargs, kwnames,
                                 [](PyFsObject& o, Args& a) -> PyObject* {
                                   std::string_view path, ident;
                                   if (!a.str(0, path) || !a.str_or(1, "", ident)) return nullptr;
                                   auto text = fs::render_tree(*o.fields.fs, path, ident);
                                   if (!text.ok()) return raise_io_error(text.error());
                                   return new_str(text.value());
                                 });
}

PyMethodDef kMethods[] = {
    {"mkdir", fastcall(fs_mkdir), METH_FASTCALL | METH_KEYWORDS,
     "mkdir($self, path)\n--\n\n\nCreate a new directory in the filesystem.\n\n"
     "Creates a new directory at the given path; an error is raised if the\n"
     "directory cannot be created.\n"},
    {"touch", fastcall(fs_touch), METH_FASTCALL | METH_KEYWORDS,
     "touch($self, path)\n--\n\n\nCreate a new file in the filesystem.\n\n"
     "Creates a new, empty file at the given path; an error is raised if the\n"
     "file cannot be created.\n"},
    {"open", fastcall(fs_open), METH_FASTCALL | METH_KEYWORDS,
     "open($self, path, mode)\n--\n\n\nOpen a file in the filesystem.\n\n"
     "Opens the file at the given path (creating it when it is missing) and\n"
     "returns a handle that can read and write the file; an error is raised\n"
     "if the file cannot be opened.\n"},
    {"listdir", fastcall(fs_listdir), METH_FASTCALL | METH_KEYWORDS,
     "listdir($self, path)\n--\n\n\nList the contents of a directory.\n\n"
     "Returns the names of the files and of the directories in the directory\n"
     "at the given path; an error is raised if it cannot be listed.\n"},
    {"remove", fastcall(fs_remove), METH_FASTCALL | METH_KEYWORDS,
     "remove(recurse=False)\n--\n\n\nRemove a file from the filesystem.\n"},
    {"tree", fastcall(fs_tree), METH_FASTCALL | METH_KEYWORDS,
     "tree($self, path, ident=None)\n--\n\n\nDebug the file system\n\n"
     "Returns a debug representation of the filesystem below the given path\n"
     "as a string; an error is raised if it cannot be rendered.\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* py_fs_type() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  type = [] {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(
                        "PyFs()\n--\n\n\n"
                        "A highly simplified binding for a simple filesystem.\n\n"
                        "It wraps the FileSystem structure and forms the basis for a small\n"
                        "filesystem usable from Python. It handles files, nested directories\n"
                        "and symlinks, and it is thread-safe: it can be shared between threads.\n")},
        {Py_tp_new, reinterpret_cast<void*>(fs_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyFsObject>)},
        {Py_tp_str, reinterpret_cast<void*>(fs_str)},
        {Py_tp_methods, kMethods},
        {0, nullptr},
    };
    return make_type("builtins.PyFs", sizeof(PyFsObject), slots);
  }();
  return type;
}

}  // namespace marrowfen::py
