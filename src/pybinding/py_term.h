// PyTerm: a SimpleTerminal over a PyFs's filesystem, behind a poisonable lock.
#pragma once

#include "base/mutex.h"
#include "pybinding/object.h"
#include "terminal/simple_terminal.h"

namespace marrowfen::py {

struct PyTermObject : ObjectBase {
  static constexpr char kName[] = "PyTerm";
  struct Fields {
    explicit Fields(std::shared_ptr<fs::FileSystem> fs) : terminal(std::move(fs)) {}
    Mutex<terminal::SimpleTerminal> terminal;
  } fields;
};

PyTypeObject* py_term_type();

}  // namespace marrowfen::py
