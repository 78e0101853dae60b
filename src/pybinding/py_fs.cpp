#include "pybinding/py_fs.h"

#include "fs/file_handle.h"
#include "fs/tree.h"
#include "pybinding/class_def.h"
#include "pybinding/conversions.h"
#include "pybinding/py_file_handle.h"

namespace marrowfen::py {

namespace {

PyObject* fs_new(PyTypeObject* type, Args&) { return new_instance<PyFsObject>(type, fs::FileSystem::create()); }

PyObject* fs_str(PyObject* self) {
  return guarded([&] { return new_str(reinterpret_cast<PyFsObject*>(self)->fields.fs->debug_string()); });
}

PyObject* fs_mkdir(PyFsObject& o, Args& a) {
  std::string_view path;
  if (!a.str(0, path)) return nullptr;
  return status_to_python(o.fields.fs->mkdir(path));
}

PyObject* fs_touch(PyFsObject& o, Args& a) {
  std::string_view path;
  if (!a.str(0, path)) return nullptr;
  return status_to_python(o.fields.fs->touch(path));
}

PyObject* fs_open(PyFsObject& o, Args& a) {
  std::string_view path, mode_text;
  if (!a.str(0, path) || !a.str(1, mode_text)) return nullptr;
  // A bad mode is refused before the filesystem is touched.
  auto mode = fs::FileHandleType::from_str(mode_text);
  if (!mode.ok()) return raise_io_error(mode.error());
  return open_file_handle([&] { return fs::FileSystem::open(o.fields.fs, path, mode.value(), true); });
}

PyObject* fs_listdir(PyFsObject& o, Args& a) {
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
}

PyObject* fs_remove(PyFsObject& o, Args& a) {
  std::string_view path;
  bool recurse = false;
  if (!a.str(0, path) || !a.flag(1, recurse)) return nullptr;
  return status_to_python(o.fields.fs->rm(path, recurse));
}

PyObject* fs_tree(PyFsObject& o, Args& a) {
  std::string_view path, ident;
  if (!a.str(0, path) || !a.str_or(1, "", ident)) return nullptr;
  auto text = fs::render_tree(*o.fields.fs, path, ident);
  if (!text.ok()) return raise_io_error(text.error());
  return new_str(text.value());
}

constexpr Param kPath[] = {{"path"}};
constexpr Param kOpenParams[] = {{"path"}, {"mode"}};
constexpr Param kRemoveParams[] = {{"path"}, {"recurse"}};
constexpr Param kTreeParams[] = {{"path"}, {"ident", true}};

constexpr Method<PyFsObject> kMethods[] = {
    {"mkdir", kPath, fs_mkdir,
     "\nCreate a new directory in the filesystem.\n\n"
     "Creates a new directory at the given path; an error is raised if the\n"
     "directory cannot be created.\n"},
    {"touch", kPath, fs_touch,
     "\nCreate a new file in the filesystem.\n\n"
     "Creates a new, empty file at the given path; an error is raised if the\n"
     "file cannot be created.\n"},
    {"open", kOpenParams, fs_open,
     "\nOpen a file in the filesystem.\n\n"
     "Opens the file at the given path (creating it when it is missing) and\n"
     "returns a handle that can read and write the file; an error is raised\n"
     "if the file cannot be opened.\n"},
    {"listdir", kPath, fs_listdir,
     "\nList the contents of a directory.\n\n"
     "Returns the names of the files and of the directories in the directory\n"
     "at the given path; an error is raised if it cannot be listed.\n"},
    // The text signature that users have always seen, although both
    // parameters are required (the stubs and docs/api.md give the real ones).
    {"remove", kRemoveParams, fs_remove, "\nRemove a file from the filesystem.\n", "(recurse=False)"},
    {"tree", kTreeParams, fs_tree,
     "\nDebug the file system\n\n"
     "Returns a debug representation of the filesystem below the given path\n"
     "as a string; an error is raised if it cannot be rendered.\n"},
};

constexpr ClassDef<PyFsObject> kClass{
    .doc =
        "\nA highly simplified binding for a simple filesystem.\n\n"
        "It wraps the FileSystem structure and forms the basis for a small\n"
        "filesystem usable from Python. It handles files, nested directories\n"
        "and symlinks, and it is thread-safe: it can be shared between threads.\n",
    .construct = fs_new,
    .methods = kMethods,
    .str = fs_str,
};

}  // namespace

PyTypeObject* py_fs_type() { return class_type<kClass>(); }

}  // namespace marrowfen::py
