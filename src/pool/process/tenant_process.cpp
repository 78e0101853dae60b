#include "pool/process/tenant_process.h"

#include <fcntl.h>
#include <linux/keyctl.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "pool/process/raw_child_steps.h"
#include "pool/process/spawn_thread.h"
#include "pool/process/vfork_child.h"

extern char** environ;

namespace marrowfen::pool {
namespace {

// The stack of a contained tenant's process until it execs.
constexpr size_t kTenantStackSize = size_t{64} * 1024;

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
  // A contained tenant (nullptr: none).
  const TenantJoin* join;
  char* const* cgroup_join_files;
  char* tenant_stack_top;
  CloneFunction clone;
  volatile pid_t tenant_pid;  // the process that runs argv, when contained
};

[[noreturn]] MF_VFORK_CHILD_FUNCTION void fail(ChildPlan* plan, int error) {
  plan->exec_error = error;
  ::syscall(SYS_exit, 127);
  __builtin_unreachable();
}

// Standard streams onto the pipes.
MF_VFORK_CHILD_FUNCTION void set_up_stdio(ChildPlan* plan) {
  for (int fd = 0; fd < 3; ++fd) {
    if (::syscall(SYS_dup3, plan->stdio[fd], fd, 0) < 0) fail(plan, errno);
  }
}

// A new anonymous session keyring: whatever keyring this process has (a
// login's, under pam_keyinit) must not reach the tenant, nor one tenant's
// another's. A kernel without keyrings has nothing to share.
MF_VFORK_CHILD_FUNCTION void join_new_keyring(ChildPlan* plan) {
  if (::syscall(SYS_keyctl, KEYCTL_JOIN_SESSION_KEYRING, nullptr) < 0 && errno != ENOSYS) fail(plan, errno);
}

// The working directory, umask and signal mask the tenant starts with, then
// argv run as execvp would: the first candidate that runs; EACCES from any
// of them wins over ENOENT; an error other than "not here" ends the search.
[[noreturn]] MF_VFORK_CHILD_FUNCTION void exec_tenant(ChildPlan* plan) {
  // Not the caller's working directory: its path is the host's business
  // (bash would show it as OLDPWD after the shell text's cd).
  ::syscall(SYS_chdir, "/");
  ::syscall(SYS_umask, 077);
  uint64_t no_signals = 0;
  ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &no_signals, nullptr, raw::kKernelSigsetSize);
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
  fail(plan, denied && (error == ENOENT || error == ENOTDIR) ? EACCES : error);
}

// The child, between clone and exec (see vfork_child.h), with every signal
// blocked as the spawn thread has them.
MF_VFORK_CHILD_FUNCTION int tenant_child(void* arg) {
  ChildPlan* plan = static_cast<ChildPlan*>(arg);
  raw::reset_signal_actions();
  // Set before su runs; if the parent is gone already, nobody will send it.
  ::syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  if (::syscall(SYS_getppid) != plan->parent) ::syscall(SYS_exit, 127);
  set_up_stdio(plan);
  raw::close_from(3);
  join_new_keyring(plan);
  exec_tenant(plan);
}

// A contained tenant's process, forked by contained_child after it entered
// the namespaces, but a child of ours (CLONE_PARENT), as an uncontained
// one is: it joins the group, takes the limits and the filter, and runs argv.
MF_VFORK_CHILD_FUNCTION int contained_tenant(void* arg) {
  ChildPlan* plan = static_cast<ChildPlan*>(arg);
  const TenantJoin& join = *plan->join;
  ::syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  // In the tenant's PID namespace our process has no number: 0. A parent
  // that died already left this process to the holder (1).
  pid_t expected_parent = join.pid_namespace ? 0 : plan->parent;
  if (::syscall(SYS_getppid) != expected_parent) ::syscall(SYS_exit, 127);
  for (char* const* procs = plan->cgroup_join_files; *procs != nullptr; ++procs) {
    long fd = ::syscall(SYS_openat, AT_FDCWD, *procs, O_WRONLY | O_CLOEXEC);
    if (fd < 0) fail(plan, errno);
    long written = ::syscall(SYS_write, fd, "0", 1);
    int error = errno;
    ::syscall(SYS_close, fd);
    if (written != 1) fail(plan, error);
  }
  if (join.max_processes) {
    rlimit limit{*join.max_processes, *join.max_processes};
    if (::syscall(SYS_prlimit64, 0, RLIMIT_NPROC, &limit, nullptr) < 0) fail(plan, errno);
  }
  // Root may install a filter without no_new_privs, so su still works.
  if (join.seccomp && ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, join.seccomp) < 0) fail(plan, errno);
  exec_tenant(plan);
}

// The first child of a contained spawn: enters the holder's namespaces and
// forks the tenant's process, which is the first to be in the PID namespace
// (setns places only the caller's children there).
MF_VFORK_CHILD_FUNCTION int contained_child(void* arg) {
  ChildPlan* plan = static_cast<ChildPlan*>(arg);
  raw::reset_signal_actions();
  // Before the streams go onto 0 to 2, where a namespace's descriptor may
  // be when the caller had those closed.
  for (const TenantJoin::Namespace& ns : plan->join->namespaces) {
    if (::syscall(SYS_setns, ns.fd, ns.type) < 0) fail(plan, errno);
  }
  set_up_stdio(plan);
  raw::close_from(3);
  join_new_keyring(plan);
  // The C library's clone runs the function on the new stack; a raw clone
  // would resume this frame there.
  int pid = plan->clone(contained_tenant, plan->tenant_stack_top, CLONE_VM | CLONE_VFORK | CLONE_PARENT, plan);
  if (pid < 0) fail(plan, errno);
  plan->tenant_pid = static_cast<pid_t>(pid);
  ::syscall(SYS_exit, 0);
  return 0;
}

// Starts the child on the calling thread and waits until it has exec'd or
// given up. The child leaves a bare errno in the plan (it may not allocate);
// the error is made from it here.
Result<pid_t, Error> start_child(ChildPlan& plan) {
  MF_TRY_ASSIGN(pid_t pid, start_vfork_child(plan.join ? contained_child : tenant_child, &plan));
  if (plan.join) {
    // The first child is done once the tenant's process has exec'd.
    (void)wait_for_child(pid);
    pid = plan.tenant_pid;
    if (pid <= 0) return Error::os(plan.exec_error ? plan.exec_error : EAGAIN);
  }
  if (int e = plan.exec_error) {
    (void)wait_for_child(pid);
    return Error::os(e);
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

Result<ChildProcess, Error> spawn_tenant_process(const std::vector<std::string>& argv, const TenantJoin* join) {
  if (argv.empty()) return Error::os(EINVAL);
  MF_TRY_ASSIGN(Pipe input, make_pipe());
  MF_TRY_ASSIGN(Pipe output, make_pipe());
  MF_TRY_ASSIGN(Pipe errors, make_pipe());

  std::vector<std::string> env = tenant_environment(environ);
  std::vector<std::string> candidates = exec_candidates(argv[0], std::getenv("PATH"));
  std::vector<char*> argv_pointers = null_terminated(argv);
  std::vector<char*> env_pointers = null_terminated(env);
  std::vector<char*> candidate_pointers = null_terminated(candidates);
  std::vector<std::string> cgroup_join_files = join ? join->cgroup_join_files : std::vector<std::string>{};
  std::vector<char*> join_pointers = null_terminated(cgroup_join_files);
  std::unique_ptr<char[]> tenant_stack(join ? new char[kTenantStackSize] : nullptr);
  ChildPlan plan{::getpid(),
                 {input.read_end.get(), output.write_end.get(), errors.write_end.get()},
                 argv_pointers.data(),
                 env_pointers.data(),
                 candidate_pointers.data(),
                 0,
                 join,
                 join_pointers.data(),
                 tenant_stack ? tenant_stack.get() + kTenantStackSize : nullptr,
                 clone_function(),
                 0};

  Result<pid_t, Error> started = Error::os(EAGAIN);
  MF_TRY(run_on_spawn_thread([&] { started = start_child(plan); }));
  MF_TRY_ASSIGN(pid_t pid, std::move(started));

  ChildProcess child;
  child.pid = pid;
  child.stdin_pipe = std::move(input.write_end);
  child.stdout_pipe = std::move(output.read_end);
  child.stderr_pipe = std::move(errors.read_end);
  return Ok<ChildProcess>{std::move(child)};
}

}  // namespace marrowfen::pool
