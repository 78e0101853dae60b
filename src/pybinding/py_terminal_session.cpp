#include "pybinding/conversions.h"
#include "pybinding/gil.h"
#include "pybinding/py_user_pool.h"

namespace marrowfen::py {

namespace {

constexpr size_t kDefaultReadSize = 1024;

ClassInfo cls() { return {py_terminal_session_type(), "PyTerminalSession"}; }

// Runs `op` on the session without the interpreter lock: a read may block
// for as long as the shell is silent. The session lock is only checked (a
// poisoned one is an internal error); the session guards its own state and
// holds no lock while blocked, so one thread's read never stalls another
// thread's write, read of the other stream, or close. A signal handler that
// raises while the call is blocked ends it: nullopt, with that exception set.
template <class Op>
auto with_session(PyTerminalSessionObject& o, Op&& op) {
  return run_blocking([&] {
    pool::TerminalSession* session = &*o.fields.session.lock();
    return op(*session);
  });
}

PyObject* session_close(PyObject* self, PyObject*) {
  return call_noargs<PyTerminalSessionObject>(self, cls(), [](PyTerminalSessionObject& o) -> PyObject* {
    if (!owned_by_this_process(o.fields.owner, cls().name)) return nullptr;
    // Closing holds the session lock, which a failed kill leaves poisoned.
    // The wait for the killed shell is short, and signal handlers wait for
    // it: they might use the session.
    without_gil([&] { o.fields.session.lock()->close(); });
    return none();
  });
}

constexpr Param kData[] = {{"data"}};

PyObject* session_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<PyTerminalSessionObject>(
      self, cls(), "PyTerminalSession.write()", kData, args, nargs, kwnames,
      [](PyTerminalSessionObject& o, Args& a) -> PyObject* {
        std::string_view data;
        if (!a.bytes(0, data)) return nullptr;
        if (!owned_by_this_process(o.fields.owner, cls().name)) return nullptr;
        auto written = with_session(o, [&](pool::TerminalSession& s) { return s.write(data); });
        if (!written) return nullptr;
        if (!written->ok()) return raise_value_error(written->error());
        return none();
      });
}

constexpr Param kBuffer[] = {{"buffer", true}};

// read and read_err: one read of at most `buffer` bytes from one stream.
template <auto Read>
PyObject* session_read(PyObject* self, const char* full_name, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return call_method<PyTerminalSessionObject>(
      self, cls(), full_name, kBuffer, args, nargs, kwnames, [](PyTerminalSessionObject& o, Args& a) -> PyObject* {
        size_t size = 0;
        if (!a.usize_or(0, kDefaultReadSize, size)) return nullptr;
        if (!owned_by_this_process(o.fields.owner, cls().name)) return nullptr;
        // The bytes object is the read area; nobody else can see it yet.
        PyRef bytes = new_read_area(size);
        if (!bytes) return nullptr;
        std::span<char> area(PyBytes_AS_STRING(bytes.get()), size);
        auto n = with_session(o, [&](pool::TerminalSession& s) { return (s.*Read)(area); });
        if (!n) return nullptr;
        if (!n->ok()) return raise_value_error(n->error());
        if (!shrink_read_area(bytes, n->value())) return nullptr;
        return bytes.release();
      });
}

PyObject* session_read_out(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return session_read<&pool::TerminalSession::read_stdout>(self, "PyTerminalSession.read()", args, nargs, kwnames);
}

PyObject* session_read_err(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return session_read<&pool::TerminalSession::read_stderr>(self, "PyTerminalSession.read_err()", args, nargs,
                                                           kwnames);
}

PyMethodDef kMethods[] = {
    {"close", session_close, METH_NOARGS,
     "close($self)\n--\n\n\nClose the terminal session.\n\n"
     "Kills the shell and waits for it; closing twice is harmless.\n"},
    {"write", fastcall(session_write), METH_FASTCALL | METH_KEYWORDS,
     "write($self, data)\n--\n\n\nWrite data to the terminal session.\n\n"
     "Writes all of `data` (bytes) to the shell's standard input.\n"},
    {"read", fastcall(session_read_out), METH_FASTCALL | METH_KEYWORDS,
     "read($self, buffer=None)\n--\n\n\nRead data from the terminal session.\n\n"
     "One read of at most `buffer` bytes (1024 by default) from the shell's\n"
     "standard output; blocks until something is there, b\"\" at its end.\n"},
    {"read_err", fastcall(session_read_err), METH_FASTCALL | METH_KEYWORDS,
     "read_err($self, buffer=None)\n--\n\n\nRead data from the stderr of the terminal session.\n\n"
     "One read of at most `buffer` bytes (1024 by default) from the shell's\n"
     "standard error; blocks until something is there, b\"\" at its end.\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* py_terminal_session_type() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(
                      "\nA class that represents a terminal session for a user.\n\n"
                      "The session is unique to its user. Dropping it kills the shell and\n"
                      "releases the user account back to the pool once nothing else holds it.\n")},
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_without_gil<PyTerminalSessionObject>)},
      {Py_tp_methods, kMethods},
      {0, nullptr},
  };
  type = make_type("builtins.PyTerminalSession", sizeof(PyTerminalSessionObject), slots);
  return type;
}

PyObject* new_terminal_session(pool::TerminalSession session) {
  return new_instance<PyTerminalSessionObject>(py_terminal_session_type(), std::move(session));
}

}  // namespace marrowfen::py
