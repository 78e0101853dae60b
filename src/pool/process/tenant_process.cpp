#include "pool/process/tenant_process.h"

#include <linux/keyctl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "pool/process/spawn_thread.h"
#include "pool/process/vfork_child.h"

extern char** environ;

namespace marrowfen::pool {
namespace {

// The caller's environment variables the tenant gets, besides its own PATH.
bool passed_to_tenant(std::string_view name) {
  return name == "TERM" || name == "LANG" || name == "TZ" || name.starts_with("LC_");
}

// Pointers into strings that outlive them, ending with nullptr, for execve.
std::vector<char*> null_terminated(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// What the child needs, all prepared before it exists: it may only make
// system calls (it shares the memory of a process with other threads).
struct ChildPlan {
  pid_t parent;
  int stdio[3];
  char* const* argv;
  char* const* envp;
  char* const* candidates;
  volatile int exec_error;  // set by the child when no exec succeeded
};

// The kernel's form of a signal action, for rt_sigaction.
struct KernelSigaction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  uint64_t mask;
};
constexpr long kKernelSigsetSize = sizeof(uint64_t);
constexpr int kLastSignal = 64;

// Closes every descriptor from 3 up, where close_range is missing too.
MF_VFORK_CHILD_FUNCTION void close_from_3() {
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#endif
  rlimit limit{};
  long highest = 1024;
  if (::syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, nullptr, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    highest = static_cast<long>(limit.rlim_cur);
  }
  for (long fd = 3; fd < highest; ++fd) ::syscall(SYS_close, fd);
}

// The child, between clone and exec (see vfork_child.h), with every signal
// blocked as the spawn thread has them.
MF_VFORK_CHILD_FUNCTION int tenant_child(void* arg) {
  ChildPlan* plan = static_cast<ChildPlan*>(arg);
  // No handler of this process may run here once signals are unblocked.
  KernelSigaction default_action{SIG_DFL, 0, nullptr, 0};
  for (int sig = 1; sig <= kLastSignal; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::syscall(SYS_rt_sigaction, sig, &default_action, nullptr, kKernelSigsetSize);
  }
  // Set before su runs; if the parent is gone already, nobody will send it.
  ::syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  if (::syscall(SYS_getppid) != plan->parent) ::syscall(SYS_exit, 127);
  for (int fd = 0; fd < 3; ++fd) {
    if (::syscall(SYS_dup3, plan->stdio[fd], fd, 0) < 0) {
      plan->exec_error = errno;
      ::syscall(SYS_exit, 127);
    }
  }
  close_from_3();
  // A new anonymous session keyring: whatever keyring this process has (a
  // login's, under pam_keyinit) must not reach the tenant, nor one tenant's
  // another's. A kernel without keyrings has nothing to share.
  if (::syscall(SYS_keyctl, KEYCTL_JOIN_SESSION_KEYRING, nullptr) < 0 && errno != ENOSYS) {
    plan->exec_error = errno;
    ::syscall(SYS_exit, 127);
  }
  // Not the caller's working directory: its path is the host's business
  // (bash would show it as OLDPWD after the shell text's cd).
  ::syscall(SYS_chdir, "/");
  ::syscall(SYS_umask, 077);
  uint64_t no_signals = 0;
  ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &no_signals, nullptr, kKernelSigsetSize);

  // As execvp: the first candidate that runs; EACCES from any of them wins
  // over ENOENT; an error other than "not here" ends the search.
  int error = ENOENT;
  bool denied = false;
  for (char* const* path = plan->candidates; *path != nullptr; ++path) {
    ::syscall(SYS_execve, *path, plan->argv, plan->envp);
    error = errno;
    if (error == EACCES) {
      denied = true;
    } else if (error != ENOENT && error != ENOTDIR && error != ESTALE && error != ENODEV && error != ETIMEDOUT) {
      break;
    }
  }
  plan->exec_error = denied && (error == ENOENT || error == ENOTDIR) ? EACCES : error;
  ::syscall(SYS_exit, 127);
  return 127;
}

// Starts the child on the calling thread and waits until it has exec'd or
// given up. The error is an errno.
Result<pid_t, int> start_child(ChildPlan& plan) {
  MF_TRY_ASSIGN(pid_t pid, start_vfork_child(tenant_child, &plan));
  if (int e = plan.exec_error) {
    (void)wait_for_child(pid);
    return err(e);
  }
  return Ok<pid_t>{pid};
}

}  // namespace

std::vector<std::string> tenant_environment(const char* const* caller_env) {
  std::vector<std::string> env = {std::string("PATH=") + kTenantPath};
  for (const char* const* entry = caller_env; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text = *entry;
    size_t equals = text.find('=');
    if (equals != std::string_view::npos && passed_to_tenant(text.substr(0, equals))) env.emplace_back(text);
  }
  return env;
}

std::vector<std::string> exec_candidates(const std::string& program, const char* path) {
  if (program.find('/') != std::string::npos) return {program};
  std::string_view dirs = path != nullptr ? path : "/bin:/usr/bin";
  std::vector<std::string> candidates;
  for (;;) {
    size_t colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    // An empty entry is the working directory.
    candidates.push_back(dir.empty() ? program : std::string(dir) + "/" + program);
    if (colon == std::string_view::npos) break;
    dirs.remove_prefix(colon + 1);
  }
  return candidates;
}

Result<ChildProcess, int> spawn_tenant_process(const std::vector<std::string>& argv) {
  if (argv.empty()) return err(EINVAL);
  MF_TRY_ASSIGN(Pipe input, make_pipe());
  MF_TRY_ASSIGN(Pipe output, make_pipe());
  MF_TRY_ASSIGN(Pipe errors, make_pipe());

  std::vector<std::string> env = tenant_environment(environ);
  std::vector<std::string> candidates = exec_candidates(argv[0], std::getenv("PATH"));
  std::vector<char*> argv_pointers = null_terminated(argv);
  std::vector<char*> env_pointers = null_terminated(env);
  std::vector<char*> candidate_pointers = null_terminated(candidates);
  ChildPlan plan{::getpid(),
                 {input.read_end.get(), output.write_end.get(), errors.write_end.get()},
                 argv_pointers.data(),
                 env_pointers.data(),
                 candidate_pointers.data(),
                 0};

  Result<pid_t, int> started = err(EAGAIN);
  if (int e = run_on_spawn_thread([&] { started = start_child(plan); })) return err(e);
  if (!started) return err(started.error());

  ChildProcess child;
  child.pid = started.value();
  child.stdin_pipe = std::move(input.write_end);
  child.stdout_pipe = std::move(output.read_end);
  child.stderr_pipe = std::move(errors.read_end);
  return Ok<ChildProcess>{std::move(child)};
}

}  // namespace marrowfen::pool
