// Running blocking host work without the interpreter lock, with Python's
// signal handlers run when a signal interrupts it.
//
// The rule: filesystem, handle and terminal calls keep the interpreter lock
// throughout and take their own locks (the handle's, the terminal's, the
// inode locks) while holding it; nothing under those releases it. The pool's
// work blocks on the host, so it runs through these helpers, and the pool,
// user and session locks are only taken with the interpreter lock released.
// Either way no thread holds one of our locks while it waits for the
// interpreter lock, so the two never wait on each other. (Blocking work that
// holds one of our locks defers the signal handlers until it lets go:
// base/interrupt.h.)
#pragma once

#include "pybinding/errors.h"
#include "pybinding/object.h"

#include <unistd.h>

#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "base/interrupt.h"
#include "pool/cleanup/deferred_panic.h"

namespace marrowfen::py {

// Takes the interpreter lock back after blocking work. While the interpreter
// shuts down, a thread that asks for it is ended on the spot (pthread_exit,
// which unwinds the thread's stack). The frames above this one still hold
// Python references that must not be dropped without the lock, so the
// thread is parked for good instead; the process is about to exit.
inline void take_back_gil(PyThreadState* state) noexcept {
  try {
    PyEval_RestoreThread(state);
  } catch (...) {  // only that unwinding comes out of the interpreter's C code
    for (;;) ::pause();
  }
}

// Calls fn() with the interpreter lock released; a C++ exception from fn
// propagates once the lock is held again.
template <class Fn>
auto without_gil(Fn&& fn) -> decltype(fn()) {
  PyThreadState* state = PyEval_SaveThread();
  struct Restore {
    PyThreadState* state;
    ~Restore() { take_back_gil(state); }
  } restore{state};
  return fn();
}

// The interrupt check (base/interrupt.h) of blocking work run without the
// interpreter lock: it takes the lock, runs the Python signal handlers and
// keeps the exception of the first one that raises. After that it gives up
// at once, running nothing more.
class SignalHandlers {
 public:
  SignalHandlers() = default;
  SignalHandlers(const SignalHandlers&) = delete;
  SignalHandlers& operator=(const SignalHandlers&) = delete;
  ~SignalHandlers() { Py_XDECREF(raised_); }  // with the interpreter lock

  // Without the interpreter lock, on the thread that was interrupted. Only
  // the main thread runs Python's signal handlers, so no other thread asks
  // for the lock here (while the interpreter shuts down that would end the
  // thread inside this noexcept call, which aborts the process).
  bool run() noexcept {
    if (raised_) return false;
    if (!on_main_thread()) return true;
    PyGILState_STATE gil = PyGILState_Ensure();
    if (PyErr_CheckSignals() < 0) raised_ = PyErr_GetRaisedException();
    PyGILState_Release(gil);
    return raised_ == nullptr;
  }
  bool raised() const { return raised_ != nullptr; }
  // With the interpreter lock: makes the kept exception the current one.
  void restore() { PyErr_SetRaisedException(std::exchange(raised_, nullptr)); }

 private:
  // The interpreter's main thread is the process's first thread.
  static bool on_main_thread() noexcept { return ::gettid() == ::getpid(); }

  PyObject* raised_ = nullptr;
};

// Runs blocking host work without the interpreter lock, following Python's
// rule for interrupted system calls (PEP 475): a signal that interrupts one
// has its handlers run at once; if none raises, the call goes on. If one
// does, the call is given up where that is safe (a read or a write of a
// session; host commands and the reaping of a child run to their end first),
// what `fn` returned is dropped, still without the interpreter lock (dropping
// an account blocks too), and the result is nullopt with that exception set.
// A C++ exception from `fn` propagates once the lock is held again.
template <class Fn>
auto run_blocking(Fn&& fn) -> std::optional<decltype(fn())> {
  SignalHandlers handlers;
  std::optional<decltype(fn())> result;
  without_gil([&] {
    auto run_handlers = [&handlers] { return handlers.run(); };
    InterruptCheck check(run_handlers);
    InterruptCheckScope scope(check);
    result.emplace(fn());
    if (handlers.raised()) result.reset();
  });
  if (!handlers.raised()) return result;
  handlers.restore();
  return std::nullopt;
}

// Reports, as unraisable exceptions, the internal errors that destructors of
// the pool met on this thread and could not throw.
inline void report_deferred_panics() {
  PyObject* pending = nullptr;
  while (std::optional<std::string> message = pool::take_deferred_panic()) {
    // An exception already on its way (dealloc can run during unwinding)
    // must survive the report.
    if (!pending) pending = PyErr_GetRaisedException();
    write_unraisable_panic(*message, nullptr);
  }
  if (pending) PyErr_SetRaisedException(pending);
}

// tp_dealloc for classes whose fields may block on the host when dropped
// (killing a shell, releasing an account): they are dropped without the
// interpreter lock.
template <class Object>
void dealloc_without_gil(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = reinterpret_cast<Object*>(self);
  without_gil([object] { object->fields.~Fields(); });
  report_deferred_panics();
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace marrowfen::py
