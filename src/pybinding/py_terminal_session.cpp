#include "pybinding/class_def.h"
#include "pybinding/conversions.h"
#include "pybinding/gil.h"
#include "pybinding/py_user_pool.h"

namespace marrowfen::py {

namespace {

constexpr size_t kDefaultReadSize = 1024;

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

PyObject* session_close(PyTerminalSessionObject& o) {
  if (!owned_by_this_process(o.fields.owner, PyTerminalSessionObject::kName)) return nullptr;
  // Closing holds the session lock, which a failed kill leaves poisoned.
  // The wait for the killed shell is short, and signal handlers wait for
  // it: they might use the session.
  without_gil([&] { o.fields.session.lock()->close(); });
  return none();
}

PyObject* session_write(PyTerminalSessionObject& o, Args& a) {
  std::string_view data;
  if (!a.bytes(0, data)) return nullptr;
  if (!owned_by_this_process(o.fields.owner, PyTerminalSessionObject::kName)) return nullptr;
  auto written = with_session(o, [&](pool::TerminalSession& s) { return s.write(data); });
  if (!written) return nullptr;
  if (!written->ok()) return raise_value_error(written->error());
  return none();
}

// read and read_err: one read of at most `buffer` bytes from one stream.
template <auto Read>
PyObject* session_read(PyTerminalSessionObject& o, Args& a) {
  size_t size = 0;
  if (!a.usize_or(0, kDefaultReadSize, size)) return nullptr;
  if (!owned_by_this_process(o.fields.owner, PyTerminalSessionObject::kName)) return nullptr;
  // The bytes object is the read area; nobody else can see it yet.
  PyRef bytes = new_read_area(size);
  if (!bytes) return nullptr;
  std::span<char> area(PyBytes_AS_STRING(bytes.get()), size);
  auto n = with_session(o, [&](pool::TerminalSession& s) { return (s.*Read)(area); });
  if (!n) return nullptr;
  if (!n->ok()) return raise_value_error(n->error());
  if (!shrink_read_area(bytes, n->value())) return nullptr;
  return bytes.release();
}

constexpr Param kData[] = {{"data"}};
constexpr Param kBuffer[] = {{"buffer", true}};

constexpr Method<PyTerminalSessionObject> kMethods[] = {
    {"close", session_close,
     "\nClose the terminal session.\n\n"
     "Kills the shell and waits for it; closing twice is harmless.\n"},
    {"write", kData, session_write,
     "\nWrite data to the terminal session.\n\n"
     "Writes all of `data` (bytes) to the shell's standard input.\n"},
    {"read", kBuffer, session_read<&pool::TerminalSession::read_stdout>,
     "\nRead data from the terminal session.\n\n"
     "One read of at most `buffer` bytes (1024 by default) from the shell's\n"
     "standard output; blocks until something is there, b\"\" at its end.\n"},
    {"read_err", kBuffer, session_read<&pool::TerminalSession::read_stderr>,
     "\nRead data from the stderr of the terminal session.\n\n"
     "One read of at most `buffer` bytes (1024 by default) from the shell's\n"
     "standard error; blocks until something is there, b\"\" at its end.\n"},
};

constexpr ClassDef<PyTerminalSessionObject> kClass{
    .doc =
        "\nA class that represents a terminal session for a user.\n\n"
        "The session is unique to its user. Dropping it kills the shell and\n"
        "releases the user account back to the pool once nothing else holds it.\n",
    .methods = kMethods,
    .dealloc = dealloc_without_gil<PyTerminalSessionObject>,
};

}  // namespace

PyTypeObject* py_terminal_session_type() { return class_type<kClass>(); }

PyObject* new_terminal_session(pool::TerminalSession session) {
  return new_instance<PyTerminalSessionObject>(py_terminal_session_type(), std::move(session));
}

}  // namespace marrowfen::py
