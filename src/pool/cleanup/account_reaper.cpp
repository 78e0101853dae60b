#include "pool/cleanup/account_reaper.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/keyctl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/unique_fd.h"
#include "pool/process/child_process.h"
#include "pool/process/vfork_child.h"

namespace marrowfen::pool {
namespace {

// Exit statuses of the helper child, one per step that can fail.
enum HelperExit : int {
  kSignalled = 0,
  kNoneSignalled = 1,
  kSetgroupsFailed = 10,
  kSetgidFailed,
  kSetuidFailed,
  kKillFailed,
  // kKeyringErrorBase + errno: a keyring of the account could not be cleared.
  kKeyringErrorBase = 100,
};

// Whether /proc/<pid>/status describes a live process of `uid`.
bool is_live_process_of(const std::string& pid, uint32_t uid) {
  std::ifstream status("/proc/" + pid + "/status");
  if (!status) return false;  // gone meanwhile
  std::string line;
  bool live = false;
  bool owned = false;
  while (std::getline(status, line)) {
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    if (key == "State:") {
      char state = '?';
      fields >> state;
      live = state != 'Z' && state != 'X';
    } else if (key == "Uid:") {
      uint32_t real = 0, effective = 0, saved = 0;
      fields >> real >> effective >> saved;
      owned = real == uid || effective == uid || saved == uid;
      break;  // State: comes before Uid:
    }
  }
  return live && owned;
}

// What the helper child works with: the account, /proc open for it, and
// whether it is to signal (or only clear the keyrings).
struct SignalAllPlan {
  uint32_t uid;
  int proc_fd;
  bool signal;
};

// Kernel directory records, as getdents64 returns them.
struct KernelDirent {
  uint64_t ino;
  int64_t off;
  unsigned short reclen;
  unsigned char type;
  char name[1];
};

// Whether any process but the caller may be signalled by it, found by
// probing each pid in /proc with signal 0. (kill(-1) cannot tell: it reports
// success when there was any process at all, whether or not it could signal
// it.) Raw system calls only.
MF_VFORK_CHILD_FUNCTION bool may_signal_any(int proc_fd) {
  long self = ::syscall(SYS_getpid);
  if (::syscall(SYS_lseek, proc_fd, 0, SEEK_SET) != 0) return true;  // cannot tell: assume so
  alignas(8) char buffer[8192];
  for (;;) {
    long n = ::syscall(SYS_getdents64, proc_fd, buffer, sizeof buffer);
    if (n < 0) return true;
    if (n == 0) return false;
    for (long at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const KernelDirent*>(buffer + at);
      at += entry->reclen;
      long pid = 0;
      const char* c = entry->name;
      for (; *c >= '0' && *c <= '9'; ++c) pid = pid * 10 + (*c - '0');
      if (*c != '\0' || pid <= 1 || pid == self) continue;
      if (::syscall(SYS_kill, pid, 0) == 0) return true;
    }
  }
}

// What a tenant's own keyrings are set back to should it have locked them
// (possessor: all but setattr; user: all), as the kernel makes them.
constexpr long kDefaultKeyringPerm = 0x1f3f0000;

// Empties keyring `ring` as its owner: 0 or an errno. A keyring whose
// permissions its tenant took away is given the default ones back first,
// where the kernel still lets the owner do that.
MF_VFORK_CHILD_FUNCTION int clear_keyring(long ring) {
  if (::syscall(SYS_keyctl, KEYCTL_CLEAR, ring) == 0) return 0;
  if (errno != EACCES) return errno;
  if (::syscall(SYS_keyctl, KEYCTL_SETPERM, ring, kDefaultKeyringPerm) != 0) return EACCES;
  return ::syscall(SYS_keyctl, KEYCTL_CLEAR, ring) == 0 ? 0 : errno;
}

// Empties the account's persistent, user-session and user keyrings, which
// outlive every process of it: 0 or an errno. A kernel without keyrings (or
// without persistent ones) has nothing to clear.
MF_VFORK_CHILD_FUNCTION int clear_account_keyrings() {
  // Links the persistent keyring into this child's own process keyring, so
  // that the child possesses it (its owner alone may not write it).
  long persistent = ::syscall(SYS_keyctl, KEYCTL_GET_PERSISTENT, -1L, long{KEY_SPEC_PROCESS_KEYRING});
  if (persistent < 0) {
    if (errno == ENOSYS) return 0;
    if (errno != EOPNOTSUPP) return errno;
  } else if (int e = clear_keyring(persistent)) {
    return e;
  }
  if (int e = clear_keyring(KEY_SPEC_USER_SESSION_KEYRING)) return e;
  return clear_keyring(KEY_SPEC_USER_KEYRING);
}

// The helper: takes on every id of the account (so it keeps no root id) and,
// if it may signal any process, which is exactly when the account has one,
// sends SIGKILL to all of them at once. When there is nothing (left) to
// signal it empties the account's keyrings, which no process of it can fill
// again meanwhile. Raw system calls only (see vfork_child.h): the ids change
// for this child alone, not for the threads of the caller.
MF_VFORK_CHILD_FUNCTION int signal_all_child(void* arg) {
  const auto* plan = static_cast<const SignalAllPlan*>(arg);
  uint32_t uid = plan->uid;
  if (::syscall(SYS_setgroups, 0, nullptr) != 0) ::syscall(SYS_exit, kSetgroupsFailed);
  if (::syscall(SYS_setresgid, uid, uid, uid) != 0) ::syscall(SYS_exit, kSetgidFailed);
  if (::syscall(SYS_setresuid, uid, uid, uid) != 0) ::syscall(SYS_exit, kSetuidFailed);
  if (plan->signal && may_signal_any(plan->proc_fd)) {
    // -1: every process this one may signal except itself, i.e. those whose
    // real or saved uid is `uid`; atomic, so a forking process cannot outrun it.
    if (::syscall(SYS_kill, -1, SIGKILL) != 0 && errno != ESRCH) ::syscall(SYS_exit, kKillFailed);
    ::syscall(SYS_exit, kSignalled);
  }
  if (int e = clear_account_keyrings()) ::syscall(SYS_exit, kKeyringErrorBase + (e < 150 ? e : 150));
  ::syscall(SYS_exit, kNoneSignalled);
  return kNoneSignalled;
}

// Signals every process of `uid` from a helper child (with `signal`; else
// only clears its keyrings): whether there was any process, or why it could
// not be done. When there was none, the keyrings are clear.
Result<bool, Error> signal_all_as(uint32_t uid, bool signal) {
  UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!proc) return Error::os(errno, "cannot open /proc");
  SignalAllPlan plan{uid, proc.get(), signal};
  auto started = start_vfork_child(signal_all_child, &plan);
  if (!started) return std::move(started).error().within("cannot start the killer process");
  auto status = wait_for_child(started.value());
  if (!status) return std::move(status).error().within("cannot wait for the killer process");
  int code = status.value().code().value_or(-1);
  if (code >= kKeyringErrorBase) {
    return Error::os(code - kKeyringErrorBase, "the killer process could not clear the keyrings");
  }
  switch (code) {
    case kSignalled: return true;
    case kNoneSignalled: return false;
    case kSetgroupsFailed: return Error::text("the killer process could not drop its groups");
    case kSetgidFailed: return Error::text("the killer process could not take the group id");
    case kSetuidFailed: return Error::text("the killer process could not take the user id");
    case kKillFailed: return Error::text("the killer process could not send SIGKILL");
    default: return Error::text("the killer process ended abnormally");
  }
}

std::string describe_survivors(const std::vector<pid_t>& pids, std::chrono::milliseconds budget) {
  std::string text =
      std::to_string(pids.size()) + " process(es) still alive after " + std::to_string(budget.count()) + " ms (pid";
  for (size_t i = 0; i < pids.size() && i < 8; ++i) text += " " + std::to_string(pids[i]);
  if (pids.size() > 8) text += " ...";
  return text + ")";
}

}  // namespace

Result<std::vector<pid_t>, Error> live_processes_of(uint32_t uid) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return Error::os(errno);
  std::vector<pid_t> pids;
  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(proc);
    if (entry == nullptr) break;
    std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (is_live_process_of(name, uid)) pids.push_back(static_cast<pid_t>(std::stol(name)));
  }
  int e = errno;
  ::closedir(proc);
  if (e != 0) return Error::os(e);
  return Ok<std::vector<pid_t>>{std::move(pids)};
}

Result<bool, Error> kill_account_processes(uint32_t uid, std::chrono::milliseconds budget) {
  if (uid == 0) return Error::text("refusing to kill every process of uid 0");
  const auto deadline = std::chrono::steady_clock::now() + budget;
  auto pause = std::chrono::milliseconds(1);
  bool any = false;
  for (;;) {
    // Signalling first: an account with nothing to signal (the usual case
    // before a hand-out) is done without reading the status of every process.
    MF_TRY_ASSIGN(bool signalled, signal_all_as(uid, true));
    if (!signalled) return any;
    any = true;
    // Killed processes take a moment to become zombies.
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
    auto live = live_processes_of(uid);
    if (!live) return std::move(live).error().within("cannot list the processes in /proc");
    if (live.value().empty()) {
      // Nothing of it runs now: its keyrings stay as they are cleared.
      MF_TRY(signal_all_as(uid, false));
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return Error::text(describe_survivors(live.value(), budget));
  }
}

}  // namespace marrowfen::pool
