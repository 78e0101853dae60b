#include "pybinding/py_file_handle.h"

#include <algorithm>
#include <string>

#include "base/os_error.h"
#include "pybinding/class_def.h"
#include "pybinding/conversions.h"
#include "pybinding/stdout_line.h"
#include "pybinding/whence.h"

namespace marrowfen::py {

namespace {

Mutex<fs::FileHandle>& handle_of(PyFileHandleObject& o) { return o.fields.handle; }

PyObject* handle_id(PyFileHandleObject& o) {
  auto handle = handle_of(o).lock();
  if (!handle->id()) return raise_io_error(fs::IoError::InvalidFileDescriptor);
  return PyLong_FromUnsignedLongLong(*handle->id());
}

PyObject* handle_close(PyFileHandleObject& o) {
  fs::IoStatus status = handle_of(o).lock()->close();
  return status_to_python(status);
}

PyObject* handle_tell(PyFileHandleObject& o) {
  auto handle = handle_of(o).lock();
  if (!handle->id()) return raise_io_error(fs::IoError::InvalidFileDescriptor);
  return PyLong_FromSize_t(handle->offset());
}

PyObject* handle_read(PyFileHandleObject& o, Args& a) {
  size_t size = 0;
  bool quiet = false;  // leaves out the diagnostic line; the kit's reads pass it
  if (!a.usize(0, size) || !a.flag_or(1, false, quiet)) return nullptr;
  if (!fits_read_area(size)) return nullptr;
  // The read counts (the offset moves) only once everything else has
  // worked: the result object, and the diagnostic line.
  auto handle = handle_of(o).lock();
  auto readable = handle->readable();
  if (!readable.ok()) return raise_io_error(readable.error());
  // No more memory than what is there to read.
  PyRef area = new_read_area(std::min(size, readable.value()));
  if (!area) return nullptr;
  auto n = handle->peek(std::span<uint8_t>(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(area.get())),
                                           static_cast<size_t>(PyBytes_GET_SIZE(area.get()))));
  if (!n.ok()) return raise_io_error(n.error());
  if (!shrink_read_area(area, n.value())) return nullptr;
  // A line that cannot be written is an internal error, but one that
  // leaves nothing behind: it is raised without unwinding, so the
  // handle's lock is not poisoned, and nothing was read.
  if (int e = quiet ? 0 : write_read_diagnostic(n.value()))
    return raise_panic("failed printing to stdout: " + os_error_text(e));
  handle->consume(n.value());
  return area.release();
}

PyObject* handle_write(PyFileHandleObject& o, Args& a) {
  std::string_view bytes;
  if (!a.bytes(0, bytes)) return nullptr;
  // A write returns the whole length: the result is made first, so a
  // write that happened is never reported as a MemoryError.
  PyRef count = PyRef::steal(PyLong_FromSize_t(bytes.size()));
  if (!count) return nullptr;
  auto n = handle_of(o).lock()->write(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  if (!n.ok()) return raise_io_error(n.error());
  return count.release();
}

PyObject* handle_seek(PyFileHandleObject& o, Args& a) {
  size_t offset = 0;
  PyObject* whence = nullptr;
  if (!a.usize(0, offset) || !a.instance(1, whence_type(), WhenceObject::kName, whence)) return nullptr;
  fs::IoStatus status = handle_of(o).lock()->seek(whence_origin(whence), offset);
  return status_to_python(status);
}

PyObject* handle_truncate(PyFileHandleObject& o, Args& a) {
  size_t size = 0;
  if (!a.usize(0, size)) return nullptr;
  fs::IoStatus status = handle_of(o).lock()->truncate(size);
  return status_to_python(status);
}

PyObject* handle_str(PyObject* self) {
  return guarded([&] {
    auto& o = *reinterpret_cast<PyFileHandleObject*>(self);
    return new_str(handle_of(o).lock()->debug_string());
  });
}

constexpr Param kBuffer[] = {{"buffer"}};
constexpr Param kReadParams[] = {{"buffer"}, {"quiet", true, true}};
constexpr Param kTruncateParams[] = {{"size"}};
constexpr Param kSeekParams[] = {{"offset"}, {"whence"}};

constexpr Method<PyFileHandleObject> kMethods[] = {
    {"id", handle_id,
     "\nReturns a string representation of the file handle.\n\n"
     "Returns the inode id of the file the handle was opened on, as an int;\n"
     "raises an error if the handle is closed.\n"},
    {"close", handle_close,
     "\nClose the file handle.\n\n"
     "The Python object still holds a reference to the handle, but later\n"
     "reads and writes fail.\n\n"
     "The closed handle still keeps the filesystem and the inode alive until\n"
     "it is dropped.\n"},
    {"read", kReadParams, handle_read,
     "\nRead data from the file handle.\n\n"
     "Returns the data read as bytes (at most `buffer` bytes), or raises an\n"
     "error.\n"},
    {"write", kBuffer, handle_write,
     "\nWrite data to the file handle.\n\n"
     "Returns the number of bytes written, or raises an error.\n"},
    {"seek", kSeekParams, handle_seek,
     "\nSeek a certain position in the file.\n\n"
     "Moves to the new position, which `tell` returns afterwards; raises an\n"
     "error if the handle cannot seek.\n"},
    {"tell", handle_tell,
     "\nTell the current position in the file.\n\n"
     "Returns the current position, or raises an error.\n"},
    {"truncate", kTruncateParams, handle_truncate,
     "\nMake the file exactly `size` bytes long.\n\n"
     "Cuts the file short, or lengthens it with zero bytes. Needs a handle\n"
     "opened for writing; the position moves back to the new end if it was\n"
     "beyond it. The inode id stays the same.\n"},
};

constexpr ClassDef<PyFileHandleObject> kClass{
    .doc =
        "\nA simple wrapper around the FileHandle structure.\n\n"
        "It forms the basis for a file handle usable from Python. A handle is\n"
        "always associated with a filesystem and an inode, and it can read and\n"
        "write data to the file.\n",
    .methods = kMethods,
    .str = handle_str,
};

}  // namespace

PyTypeObject* py_file_handle_type() { return class_type<kClass>(); }

}  // namespace marrowfen::py
