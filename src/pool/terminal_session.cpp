#include "pool/terminal_session.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "base/panic.h"
#include "pool/deferred_panic.h"
#include "pool/os_error.h"
#include "pool/poisoned_lock.h"
#include "pool/quiet_write.h"

namespace marrowfen::pool {
namespace {

const char* const kNoProcess = "The process is None";

// The shell text: HOME set to the home, a change into it, and a fresh bash in
// place of the `-c` shell. The home goes in verbatim.
std::string shell_command(const std::string& home) {
  return "export HOME=\"" + home + "\"; cd \"" + home + "\"; exec /bin/bash";
}

}  // namespace

Result<TerminalSession, std::string> User::spawn_terminal(SharedUser user) {
  std::string name;
  std::string home;
  {
    auto locked = user->lock_or_else([] { return poisoned_lock_message("user"); });
    name = locked->username;
    home = locked->home;
  }
  // Starting the child happens without the user lock.
  std::vector<std::string> argv = {"su", "-s", "/bin/bash", "-P", "-c", shell_command(home), name};
  auto spawned = spawn_child(argv, StdinMode::kPipe);
  if (!spawned) return err("Failed to create the terminal session: " + os_error_text(spawned.error()));
  return Ok<TerminalSession>{TerminalSession(std::move(user), std::move(spawned).value())};
}

TerminalSession::TerminalSession(SharedUser user, ChildProcess process)
    : user_(std::move(user)), process_(std::move(process)) {}

TerminalSession::TerminalSession(TerminalSession&& other) noexcept
    : user_(std::move(other.user_)), process_(std::exchange(other.process_, std::nullopt)) {}

TerminalSession::~TerminalSession() {
  run_deferring_panics([this] { close(); });
  // The user reference goes after the shell is dead; a release it triggers
  // parks its own internal errors.
  user_.reset();
}

std::optional<pid_t> TerminalSession::process_id() const {
  if (!process_) return std::nullopt;
  return process_->pid;
}

Result<void, std::string> TerminalSession::write(std::string_view data) {
  if (!process_) return std::string(kNoProcess);
  if (!process_->stdin_pipe) return std::string("Failed to get the stdin of the process");
  if (int e = write_all_without_sigpipe(process_->stdin_pipe.get(), data)) {
    return "Failed to write to the stdin of the process: " + os_error_text(e);
  }
  return {};
}

Result<size_t, std::string> TerminalSession::read_pipe(const UniqueFd ChildProcess::*pipe,
                                                       std::span<char> buffer,
                                                       const char* missing_pipe,
                                                       const char* read_failed) {
  if (!process_) return std::string(kNoProcess);
  const UniqueFd& fd = (*process_).*pipe;
  if (!fd) return std::string(missing_pipe);
  if (buffer.empty()) return size_t{0};
  // Exactly one read: whatever the shell has printed so far, up to the size.
  ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
  if (n < 0) return std::string(read_failed);
  return static_cast<size_t>(n);
}

Result<size_t, std::string> TerminalSession::read_stdout(std::span<char> buffer) {
  return read_pipe(&ChildProcess::stdout_pipe, buffer, "Failed to get the stdout of the process",
                   "Failed to read stdout");
}

Result<size_t, std::string> TerminalSession::read_stderr(std::span<char> buffer) {
  return read_pipe(&ChildProcess::stderr_pipe, buffer, "Failed to get the stderr of the process",
                   "Failed to read stderr");
}

void TerminalSession::close() {
  if (!process_) return;
  ChildProcess child = std::move(*process_);
  process_.reset();
  // Only `su` is signalled; the shell below it loses its terminal with it, and
  // the account's release kills whatever is left.
  int kill_error = ::kill(child.pid, SIGKILL) == 0 ? 0 : errno;
  // Our pipe ends go first, so that even a child that could not be killed
  // sees end of input and a broken pipe, and the wait below can end.
  child.stdin_pipe.reset();
  child.stdout_pipe.reset();
  child.stderr_pipe.reset();
  (void)wait_for_child(child.pid);
  if (kill_error != 0) panic("Failed to kill the terminal session: " + os_error_text(kill_error));
}

}  // namespace marrowfen::pool
