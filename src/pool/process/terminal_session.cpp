#include "pool/process/terminal_session.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/interrupt.h"
#include "base/panic.h"
#include "base/quiet_write.h"
#include "pool/account/poisoned_lock.h"
#include "pool/cleanup/deferred_panic.h"
#include "pool/process/tenant_process.h"

namespace marrowfen::pool {
namespace {

const char* const kNoProcess = "The process is None";

std::shared_ptr<const UniqueFd> share(UniqueFd fd) {
  if (!fd) return nullptr;
  return std::make_shared<const UniqueFd>(std::move(fd));
}

}  // namespace

TerminalSession::TerminalSession(SharedUser user, ChildProcess process)
    : user_(std::move(user)),
      process_(Streams{process.pid, share(std::move(process.stdin_pipe)), share(std::move(process.stdout_pipe)),
                       share(std::move(process.stderr_pipe)), UniqueFd{}}) {}

TerminalSession::TerminalSession(TerminalSession&& other) noexcept
    : user_(std::move(other.user_)),
      owner_(other.owner_),
      process_(std::exchange(*other.process_.lock(), std::nullopt)) {}

TerminalSession::~TerminalSession() {
  run_deferring_panics([this] { close(); });
  // The user reference goes after the shell is dead; a release it triggers
  // parks its own internal errors.
  user_.reset();
}

bool TerminalSession::is_closed() const { return !process_.lock()->has_value(); }

std::optional<pid_t> TerminalSession::process_id() const {
  auto process = process_.lock();
  const std::optional<Streams>& streams = *process;
  if (!streams) return std::nullopt;
  return streams->pid;
}

Result<TerminalSession::SharedFd, Error> TerminalSession::stream(SharedFd Streams::* pipe,
                                                                 const char* missing_pipe) const {
  auto process = process_.lock();
  const std::optional<Streams>& streams = *process;
  if (!streams) return Error::text(kNoProcess);
  SharedFd fd = (*streams).*pipe;
  if (!fd) return Error::text(missing_pipe);
  return fd;
}

Result<void, Error> TerminalSession::write_to_stdin(std::string_view data) {
  MF_TRY_ASSIGN(SharedFd fd, stream(&Streams::stdin_pipe, "Failed to get the stdin of the process"));
  if (int e = write_all_without_sigpipe(fd->get(), data, Interruptible::kYes)) {
    return Error::os(e, "Failed to write to the stdin of the process");
  }
  return {};
}

Result<void, std::string> TerminalSession::write(std::string_view data) { return with_message(write_to_stdin(data)); }

Result<size_t, Error> TerminalSession::read_pipe(SharedFd Streams::* pipe, std::span<char> buffer,
                                                 const char* missing_pipe, const char* read_failed) {
  MF_TRY_ASSIGN(SharedFd fd, stream(pipe, missing_pipe));
  if (buffer.empty()) return size_t{0};
  // Exactly one read: whatever the shell has printed so far, up to the size.
  for (;;) {
    ssize_t n = ::read(fd->get(), buffer.data(), buffer.size());
    if (n >= 0) return static_cast<size_t>(n);
    // The errno is not kept: the message is the same for every failure.
    if (errno != EINTR || !go_on_after_interrupt()) return Error::text(read_failed);
  }
}

Result<size_t, std::string> TerminalSession::read_stdout(std::span<char> buffer) {
  return with_message(
      read_pipe(&Streams::stdout_pipe, buffer, "Failed to get the stdout of the process", "Failed to read stdout"));
}

Result<size_t, std::string> TerminalSession::read_stderr(std::span<char> buffer) {
  return with_message(
      read_pipe(&Streams::stderr_pipe, buffer, "Failed to get the stderr of the process", "Failed to read stderr"));
}

Result<void, Error> TerminalSession::watch_output(int epoll_fd) {
  auto process = process_.lock();
  std::optional<Streams>& streams = *process;
  if (!streams) return Error::text(kNoProcess);
  if (!streams->stdout_pipe) return Error::text("Failed to get the stdout of the process");
  if (streams->output_watch) return Error::text("The output is watched already");
  UniqueFd watch(::fcntl(epoll_fd, F_DUPFD_CLOEXEC, 3));
  if (!watch) return Error::os(errno, "Failed to watch the output");
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = streams->stdout_pipe->get();
  if (::epoll_ctl(watch.get(), EPOLL_CTL_ADD, event.data.fd, &event) != 0) {
    return Error::os(errno, "Failed to watch the output");
  }
  streams->output_watch = std::move(watch);
  return {};
}

void TerminalSession::close() {
  std::optional<Streams> child = std::exchange(*process_.lock(), std::nullopt);
  if (!child) return;
  // A forked child's copy of a session: the shell is the parent's. Only the
  // copies of the pipe ends (and of the watcher's epoll instance, which is
  // the parent's too) go.
  if (!owner_.is_current()) return;
  // Out of the watcher's epoll before anything else: the pipe may stay open
  // a moment longer (a read in progress holds it), and its end of stream
  // would keep the watcher's loop waking.
  if (child->output_watch) {
    (void)::epoll_ctl(child->output_watch.get(), EPOLL_CTL_DEL, child->stdout_pipe->get(), nullptr);
    child->output_watch.reset();
  }
  // Only `su` is signalled; the shell below it loses its terminal with it, and
  // the account's release kills whatever is left.
  int kill_error = ::kill(child->pid, SIGKILL) == 0 ? 0 : errno;
  // Our pipe ends go first (once no other thread is using them), so that even
  // a child that could not be killed sees end of input and a broken pipe, and
  // the wait below can end.
  child->stdin_pipe.reset();
  child->stdout_pipe.reset();
  child->stderr_pipe.reset();
  (void)wait_for_child(child->pid);
  if (kill_error != 0) panic(Error::os(kill_error, "Failed to kill the terminal session").message());
}

}  // namespace marrowfen::pool
