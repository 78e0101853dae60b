// A real `bash` running as a handed-out account through `su`, with its three
// standard streams on pipes owned by the session.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/mutex.h"
#include "pool/account/owner_process.h"
#include "pool/account/user.h"
#include "pool/process/child_process.h"
#include "terminal/async_terminal.h"

namespace marrowfen::pool {

// The session guards its own state, and holds no lock while it blocks: a
// read of one stream never keeps another thread from writing, reading the
// other stream or closing the session. A descriptor stays open until the
// last operation using it has returned, so a close never pulls it from under
// a blocked read (which then sees the end of the stream instead).
class TerminalSession final : public terminal::AsyncTerminal {
 public:
  // Made by User::spawn_terminal.
  TerminalSession(SharedUser user, ChildProcess process);
  TerminalSession(TerminalSession&& other) noexcept;
  TerminalSession& operator=(TerminalSession&&) = delete;
  TerminalSession(const TerminalSession&) = delete;
  TerminalSession& operator=(const TerminalSession&) = delete;

  // Closes the session, then drops its user reference, which may release
  // the account. Internal errors of either are parked for
  // take_deferred_panic() on this thread (see deferred_panic.h).
  ~TerminalSession() override;

  // A SIGPIPE from a shell that is gone never reaches the process: the write
  // fails with "Failed to write to the stdin of the process: " and the
  // system error text instead. An interrupted write goes on unless the
  // thread's interrupt check (base/interrupt.h) gives it up; it then fails
  // with the text of EINTR, some of the data possibly written.
  Result<void, std::string> write(std::string_view data) override;
  // A failed read is "Failed to read stdout". An interrupted read is retried
  // unless the thread's interrupt check gives it up; it then fails the same
  // way, having read nothing.
  Result<size_t, std::string> read_stdout(std::span<char> buffer) override;
  // A failed read is "Failed to read stderr"; interruptions as above.
  Result<size_t, std::string> read_stderr(std::span<char> buffer) override;

  // Kills the `su` process with SIGKILL, lets go of the pipes and reaps it.
  // The session has no process afterwards, whatever happens; a second close
  // does nothing. In a process other than the one that spawned the session
  // (a forked child) it only lets go of that process's copies of the pipes.
  // Blocks until the child is reaped, interruptions or not. A kill that fails
  // throws Panic ("Failed to kill the terminal session: ..."), after the
  // child was reaped.
  void close();

  // Adds the shell's standard output to the epoll instance `epoll_fd`
  // (level-triggered, for reading, `data.fd` the output's descriptor), so
  // that an event loop can wait for it without a thread of its own. The
  // session keeps a duplicate of `epoll_fd` and takes the output out of it
  // when closed, whatever the caller did with its own descriptor meanwhile.
  // Once per session.
  Result<void, Error> watch_output(int epoll_fd);

  bool is_closed() const;
  // The pid of the `su` process while the session is open.
  std::optional<pid_t> process_id() const;
  const SharedUser& user() const { return user_; }

 private:
  using SharedFd = std::shared_ptr<const UniqueFd>;
  struct Streams {
    pid_t pid;
    SharedFd stdin_pipe, stdout_pipe, stderr_pipe;
    UniqueFd output_watch;  // the epoll instance of watch_output(), if any
  };

  // The descriptor of one stream; the error is a closed session or a missing
  // pipe. The public calls turn their errors into texts (the interface's).
  Result<SharedFd, Error> stream(SharedFd Streams::* pipe, const char* missing_pipe) const;
  Result<void, Error> write_to_stdin(std::string_view data);
  Result<size_t, Error> read_pipe(SharedFd Streams::* pipe, std::span<char> buffer, const char* missing_pipe,
                                  const char* read_failed);

  SharedUser user_;
  OwnerProcess owner_;
  // Never held while blocking: a read or write takes a share of its pipe and
  // lets go before it uses it.
  mutable Mutex<std::optional<Streams>> process_;
};

}  // namespace marrowfen::pool
