// Runs a host command to completion: program found through PATH, empty
// standard input, standard output and error captured in full.
#pragma once

#include <string>
#include <vector>

#include "base/error.h"
#include "base/result.h"
#include "pool/process/child_process.h"

namespace marrowfen::pool {

// What a command that ran left behind.
struct CommandOutput {
  ExitStatus status;
  std::string stdout_bytes;
  std::string stderr_bytes;

  // Exited normally with status 0.
  bool success() const { return status.success(); }
};

// Starts argv (argv[0] is looked up in PATH), reads both output pipes at once
// so a child that fills one while we wait on the other cannot stall, then
// reaps the child. Blocks until the child has exited and both pipes are closed;
// an interruption runs the thread's interrupt check (base/interrupt.h) and the
// wait goes on, whatever it answers. The error is a command that could not be
// run: it could not be started, or its output or its exit could not be
// collected; it carries the errno of that failure and no context.
Result<CommandOutput, Error> run_host_command(const std::vector<std::string>& argv);

}  // namespace marrowfen::pool
