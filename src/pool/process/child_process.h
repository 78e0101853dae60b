// Starting a host program with its standard streams on pipes, and waiting for
// it. Shared by the host-command runner and the shell sessions.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/result.h"
#include "base/unique_fd.h"

namespace marrowfen::pool {

enum class StdinMode {
  kEmpty,  // the child reads end-of-file at once
  kPipe,   // the caller keeps the write end
};

// A started child. The parent's pipe ends are close-on-exec, so no other child
// of this process inherits them; the child's own ends are already closed here.
struct ChildProcess {
  pid_t pid = -1;
  UniqueFd stdin_pipe;   // write end; empty with StdinMode::kEmpty
  UniqueFd stdout_pipe;  // read end
  UniqueFd stderr_pipe;  // read end
};

// Starts argv[0], found through the caller's PATH, with the caller's
// environment and working directory. A program that cannot be started
// (missing, not executable, out of resources) is reported here, synchronously,
// as its errno (an Error without context). The child starts with an empty signal mask and with SIGPIPE and
// SIGXFSZ at their default actions, whatever the caller ignores or blocks.
Result<ChildProcess, Error> spawn_child(const std::vector<std::string>& argv, StdinMode stdin_mode);

// A pipe whose two ends are close-on-exec and above the three standard
// descriptors, so that putting a child's ends onto 0, 1 and 2 can never
// overwrite another of them. The error is an errno, without context.
struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};
Result<Pipe, Error> make_pipe();

// How a child ended.
class ExitStatus {
 public:
  explicit ExitStatus(int wait_status) : wait_status_(wait_status) {}
  // The exit status when the child exited normally.
  std::optional<int> code() const;
  // The signal that killed the child, if one did.
  std::optional<int> signal() const;
  bool success() const { return code() == 0; }

 private:
  int wait_status_;
};

// Waits for `pid` to end and reaps it, retrying interrupted waits (after the
// thread's interrupt check, whose answer it ignores: see base/interrupt.h).
// The error is waitpid's errno, without context.
Result<ExitStatus, Error> wait_for_child(pid_t pid);

}  // namespace marrowfen::pool
