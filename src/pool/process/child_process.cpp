#include "pool/process/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "base/interrupt.h"

extern char** environ;

namespace marrowfen::pool {
namespace {

// Moves a descriptor above the three standard ones, so that putting the
// child's ends onto 0, 1 and 2 can never overwrite another of them.
Result<void, Error> lift_above_standard_fds(UniqueFd& fd) {
  if (fd.get() > STDERR_FILENO) return {};
  int lifted = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (lifted < 0) return Error::os(errno);
  fd.reset(lifted);
  return {};
}

class SpawnSettings {
 public:
  SpawnSettings() {
    ::posix_spawn_file_actions_init(&actions_);
    ::posix_spawnattr_init(&attributes_);
  }
  ~SpawnSettings() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  // dup2 clears close-on-exec on the copy; the originals close at exec.
  Result<void, Error> connect(int from, int to) {
    return failure_of(::posix_spawn_file_actions_adddup2(&actions_, from, to));
  }

  Result<void, Error> reset_signals() {
    sigset_t empty;
    sigemptyset(&empty);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    MF_TRY(failure_of(::posix_spawnattr_setsigmask(&attributes_, &empty)));
    MF_TRY(failure_of(::posix_spawnattr_setsigdefault(&attributes_, &defaults)));
    return failure_of(::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  // The posix_spawn functions return their errno.
  static Result<void, Error> failure_of(int e) {
    if (e != 0) return Error::os(e);
    return {};
  }

  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

}  // namespace

Result<Pipe, Error> make_pipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return Error::os(errno);
  Pipe pipe{UniqueFd(ends[0]), UniqueFd(ends[1])};
  MF_TRY(lift_above_standard_fds(pipe.read_end));
  MF_TRY(lift_above_standard_fds(pipe.write_end));
  return Ok<Pipe>{std::move(pipe)};
}

Result<ChildProcess, Error> spawn_child(const std::vector<std::string>& argv, StdinMode stdin_mode) {
  if (argv.empty()) return Error::os(EINVAL);
  MF_TRY_ASSIGN(Pipe input, make_pipe());
  MF_TRY_ASSIGN(Pipe output, make_pipe());
  MF_TRY_ASSIGN(Pipe errors, make_pipe());
  if (stdin_mode == StdinMode::kEmpty) input.write_end.reset();

  SpawnSettings settings;
  MF_TRY(settings.connect(input.read_end.get(), STDIN_FILENO));
  MF_TRY(settings.connect(output.write_end.get(), STDOUT_FILENO));
  MF_TRY(settings.connect(errors.write_end.get(), STDERR_FILENO));
  MF_TRY(settings.reset_signals());

  std::vector<char*> arguments;
  arguments.reserve(argv.size() + 1);
  for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);

  // glibc's posix_spawnp reports a failed exec as its own result, so a
  // missing program is known before this returns.
  pid_t pid = -1;
  int e = ::posix_spawnp(&pid, arguments[0], settings.actions(), settings.attributes(), arguments.data(), environ);
  if (e != 0) return Error::os(e);

  ChildProcess child;
  child.pid = pid;
  child.stdin_pipe = std::move(input.write_end);
  child.stdout_pipe = std::move(output.read_end);
  child.stderr_pipe = std::move(errors.read_end);
  return Ok<ChildProcess>{std::move(child)};
}

std::optional<int> ExitStatus::code() const {
  if (WIFEXITED(wait_status_)) return WEXITSTATUS(wait_status_);
  return std::nullopt;
}

std::optional<int> ExitStatus::signal() const {
  if (WIFSIGNALED(wait_status_)) return WTERMSIG(wait_status_);
  return std::nullopt;
}

Result<ExitStatus, Error> wait_for_child(pid_t pid) {
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, 0);
    if (r == pid) return ExitStatus(status);
    if (r < 0 && errno == EINTR) {
      // A child must be reaped: the handlers run, the wait goes on.
      (void)go_on_after_interrupt();
      continue;
    }
    return Error::os(r < 0 ? errno : ECHILD);
  }
}

}  // namespace marrowfen::pool
