// Runs a host command to completion: program found through PATH, empty
// standard input, standard output and error captured in full.
#pragma once

#include <string>
#include <vector>

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

// The command could not be run: it could not be started, or its output or its
// exit could not be collected. `os_error` is the errno of that failure.
struct HostCommandError {
  int os_error;
};

// Starts argv (argv[0] is looked up in PATH), reads both output pipes at once
// so a child that fills one while we wait on the other cannot stall, then
// reaps the child. Blocks until the child has exited and both pipes are closed;
// an interruption runs the thread's interrupt check (base/interrupt.h) and the
// wait goes on, whatever it answers.
Result<CommandOutput, HostCommandError> run_host_command(const std::vector<std::string>& argv);

}  // namespace marrowfen::pool
