#include "pool/containment/namespace_holder.h"

#include <fcntl.h>
#include <linux/mount.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "pool/process/raw_child_steps.h"
#include "pool/process/spawn_thread.h"
#include "pool/process/vfork_child.h"

namespace marrowfen::pool {

namespace {

constexpr size_t kHolderStackSize = size_t{64} * 1024;
constexpr std::chrono::milliseconds kHolderStartTimeout{5000};
constexpr int kStatusFd = 3;

// The holder's steps, reported with the errno of the one that failed.
enum class Step : int {
  kReady,
  kTakeHome,
  kPrivateMounts,
  kTmpfs,
  kMqueue,
  kDevpts,
  kProc,
  kHomePath,
  kMoveHome,
  kLoopback,
};

const char* step_text(Step step) {
  switch (step) {
    case Step::kReady: return "start";
    case Step::kTakeHome: return "take the home aside";
    case Step::kPrivateMounts: return "make the mounts private";
    case Step::kTmpfs: return "mount the private tmpfs";
    case Step::kMqueue: return "mount /dev/mqueue";
    case Step::kDevpts: return "mount /dev/pts";
    case Step::kProc: return "mount /proc";
    case Step::kHomePath: return "make the home's path";
    case Step::kMoveHome: return "move the home into place";
    case Step::kLoopback: return "bring up loopback";
  }
  return "start";
}

struct Status {
  Step step;
  int error;
};

}  // namespace

// Everything the holder reads, made before it exists.
struct NamespaceHolder::Plan {
  bool isolate;
  bool network_off;
  int status_fd;
  char tmp_options[64];  // "size=N,mode=1777"
  std::string home;
  std::vector<std::string> home_prefixes;  // "/tmp", "/tmp/tmp_user_home", the home
  ifreq loopback;
};

namespace {

using Plan = NamespaceHolder::Plan;

constexpr const char* kPrivateTmp[] = {"/tmp", "/var/tmp", "/dev/shm", "/run/lock"};

MF_VFORK_CHILD_FUNCTION long raw_mount(const char* source, const char* target, const char* type, unsigned long flags,
                                       const void* data) {
  return ::syscall(SYS_mount, source, target, type, flags, data);
}

// The mounts of an isolated tenant (see the header). A failure's step.
MF_VFORK_CHILD_FUNCTION Status set_up_mounts(const Plan& plan) {
  // Taken before the tmpfs on /tmp hides it.
  long home = ::syscall(SYS_open_tree, AT_FDCWD, plan.home.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC);
  if (home < 0) return {Step::kTakeHome, errno};
  if (raw_mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0) return {Step::kPrivateMounts, errno};
  for (const char* dir : kPrivateTmp) {
    if (raw_mount("tmpfs", dir, "tmpfs", MS_NOSUID | MS_NODEV, plan.tmp_options) < 0 && errno != ENOENT) {
      return {Step::kTmpfs, errno};
    }
  }
  if (raw_mount("mqueue", "/dev/mqueue", "mqueue", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) < 0 && errno != ENOENT) {
    return {Step::kMqueue, errno};
  }
  if (raw_mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, "newinstance,ptmxmode=0666,mode=0620,gid=5") <
          0 ||
      raw_mount("/dev/pts/ptmx", "/dev/ptmx", nullptr, MS_BIND, nullptr) < 0) {
    return {Step::kDevpts, errno};
  }
  if (raw_mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, "hidepid=2") < 0)
    return {Step::kProc, errno};
  for (const std::string& prefix : plan.home_prefixes) {
    if (::syscall(SYS_mkdirat, AT_FDCWD, prefix.c_str(), 0755) < 0 && errno != EEXIST) return {Step::kHomePath, errno};
  }
  if (::syscall(SYS_move_mount, home, "", AT_FDCWD, plan.home.c_str(), MOVE_MOUNT_F_EMPTY_PATH) < 0) {
    return {Step::kMoveHome, errno};
  }
  ::syscall(SYS_close, home);
  return {Step::kReady, 0};
}

MF_VFORK_CHILD_FUNCTION Status bring_up_loopback(const Plan& plan) {
  long sock = ::syscall(SYS_socket, AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return {Step::kLoopback, errno};
  ifreq request = plan.loopback;
  long done = ::syscall(SYS_ioctl, sock, SIOCGIFFLAGS, &request);
  if (done == 0) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    done = ::syscall(SYS_ioctl, sock, SIOCSIFFLAGS, &request);
  }
  int error = errno;
  ::syscall(SYS_close, sock);
  return done == 0 ? Status{Step::kReady, 0} : Status{Step::kLoopback, error};
}

MF_VFORK_CHILD_FUNCTION int holder_main(void* arg) {
  const Plan& plan = *static_cast<const Plan*>(arg);
  raw::reset_signal_actions();  // every signal stays blocked, as the spawn thread has them
  ::syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  // Nothing of this process's descriptors stays with the holder.
  if (plan.status_fd != kStatusFd) ::syscall(SYS_dup3, plan.status_fd, kStatusFd, 0);
  for (int fd = 0; fd < kStatusFd; ++fd) ::syscall(SYS_close, fd);
  raw::close_from(kStatusFd + 1);
  ::syscall(SYS_chdir, "/");

  Status status{Step::kReady, 0};
  if (plan.isolate) status = set_up_mounts(plan);
  if (status.error == 0 && plan.network_off) status = bring_up_loopback(plan);
  // A parent that died meanwhile closed the reading end: EPIPE, and no one
  // will ever kill this holder, so it ends itself.
  if (::syscall(SYS_write, kStatusFd, &status, sizeof status) != sizeof status || status.error != 0) {
    ::syscall(SYS_exit_group, 1);
  }
  ::syscall(SYS_close, kStatusFd);

  // The init of the namespace: reap whatever is orphaned into it.
  uint64_t child_signal = uint64_t{1} << (SIGCHLD - 1);
  for (;;) {
    while (::syscall(SYS_wait4, -1, nullptr, WNOHANG | __WALL, nullptr) > 0) {
    }
    ::syscall(SYS_rt_sigtimedwait, &child_signal, nullptr, nullptr, raw::kKernelSigsetSize);
  }
  return 0;
}

// The home's path and the directories above it that the tmpfs hides.
std::vector<std::string> path_prefixes(const std::string& path) {
  std::vector<std::string> prefixes;
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    prefixes.push_back(path.substr(0, slash));
  }
  prefixes.push_back(path);
  return prefixes;
}

// Waits for the holder's status; the error is what went wrong.
Result<void, Error> await_ready(int read_fd) {
  Status status{};
  size_t got = 0;
  auto deadline = std::chrono::steady_clock::now() + kHolderStartTimeout;
  while (got < sizeof status) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Error::text("the namespace holder did not start in time");
    pollfd ready{read_fd, POLLIN, 0};
    int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) continue;
    ssize_t n = ::read(read_fd, reinterpret_cast<char*>(&status) + got, sizeof status - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Error::text("the namespace holder ended before it was ready");
    got += static_cast<size_t>(n);
  }
  if (status.error != 0)
    return Error::os(status.error, std::string("the namespace holder failed to ") + step_text(status.step));
  return {};
}

int namespace_flags(const HolderRequest& request) {
  int flags = 0;
  if (request.isolate) flags |= CLONE_NEWPID | CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWUTS;
  if (request.network_off) flags |= CLONE_NEWNET;
  return flags;
}

}  // namespace

Result<std::unique_ptr<NamespaceHolder>, Error> NamespaceHolder::start(const HolderRequest& request) {
  std::unique_ptr<NamespaceHolder> holder(new NamespaceHolder());
  int status_pipe[2];
  if (::pipe2(status_pipe, O_CLOEXEC) < 0) return Error::os(errno, "a pipe for the namespace holder");
  UniqueFd read_end(status_pipe[0]);
  UniqueFd write_end(status_pipe[1]);

  holder->plan_ = std::make_unique<Plan>();
  Plan& plan = *holder->plan_;
  plan.isolate = request.isolate;
  plan.network_off = request.network_off;
  plan.status_fd = write_end.get();
  std::snprintf(plan.tmp_options, sizeof plan.tmp_options, "size=%llu,mode=1777",
                static_cast<unsigned long long>(request.tmp_size));
  plan.home = request.home;
  plan.home_prefixes = path_prefixes(request.home);
  std::memset(&plan.loopback, 0, sizeof plan.loopback);
  std::strncpy(plan.loopback.ifr_name, "lo", IFNAMSIZ - 1);
  holder->stack_.reset(new char[kHolderStackSize]);

  // Exit signal 0: a clone child, which only a wait with __WALL reaps.
  int flags = CLONE_VM | namespace_flags(request);
  Result<pid_t, Error> started = Error::os(EAGAIN);
  char* stack_top = holder->stack_.get() + kHolderStackSize;
  auto ran = run_on_spawn_thread([&] { started = clone_in_this_memory(holder_main, &plan, stack_top, flags); });
  if (!ran) return std::move(ran).error().within("the namespace holder");
  if (!started) return std::move(started).error().within("the namespace holder");
  holder->pid_ = started.value();
  write_end.reset();
  // From here a failure ends the holder through the destructor.
  MF_TRY(await_ready(read_end.get()));

  const std::pair<int, const char*> kinds[] = {
      {CLONE_NEWIPC, "ipc"}, {CLONE_NEWUTS, "uts"}, {CLONE_NEWNET, "net"}, {CLONE_NEWPID, "pid"}, {CLONE_NEWNS, "mnt"}};
  for (const auto& [type, name] : kinds) {
    if (!(flags & type)) continue;
    std::string path = "/proc/" + std::to_string(holder->pid_) + "/ns/" + name;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return Error::os(errno, "the namespace holder's " + std::string(name) + " namespace");
    holder->namespaces_.push_back(NamespaceFd{type, std::move(fd)});
  }
  return Ok<std::unique_ptr<NamespaceHolder>>{std::move(holder)};
}

NamespaceHolder::~NamespaceHolder() { (void)end(); }

Result<void, Error> NamespaceHolder::end() {
  namespaces_.clear();
  if (pid_ <= 0) return {};
  pid_t pid = pid_;
  ::kill(pid, SIGKILL);
  for (;;) {
    pid_t reaped = ::waitpid(pid, nullptr, __WALL);
    if (reaped == pid) break;
    if (reaped < 0 && errno == EINTR) continue;
    // Not reaped, so perhaps still running on this stack and plan: they
    // are let go of, never freed.
    int error = errno;
    pid_ = -1;
    [[maybe_unused]] auto* stack = stack_.release();
    [[maybe_unused]] auto* plan = plan_.release();
    return Error::os(error, "Failed to reap the namespace holder");
  }
  pid_ = -1;
  stack_.reset();
  plan_.reset();
  return {};
}

}  // namespace marrowfen::pool
