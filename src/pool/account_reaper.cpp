#include "pool/account_reaper.h"

#include <dirent.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <thread>

#include "pool/child_process.h"
#include "base/os_error.h"

namespace marrowfen::pool {
namespace {

// Exit statuses of the helper child, one per step that can fail.
enum HelperExit : int { kSignalled = 0, kSetgroupsFailed = 10, kSetgidFailed, kSetuidFailed, kKillFailed };

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

// Forks a helper that becomes `uid` entirely and signals everything it may.
// Only raw system calls run in the child: the caller may have other threads,
// and glibc's id-changing wrappers coordinate with threads that the child
// does not have.
std::optional<std::string> signal_all_as(uint32_t uid) {
  pid_t pid = ::fork();
  if (pid < 0) return "cannot start the killer process: " + os_error_text(errno);
  if (pid == 0) {
    if (::syscall(SYS_setgroups, 0, nullptr) != 0) ::_exit(kSetgroupsFailed);
    if (::syscall(SYS_setresgid, uid, uid, uid) != 0) ::_exit(kSetgidFailed);
    if (::syscall(SYS_setresuid, uid, uid, uid) != 0) ::_exit(kSetuidFailed);
    // -1: every process this one may signal except itself, i.e. those whose
    // real or saved uid is `uid`. ESRCH only means there were none.
    if (::kill(-1, SIGKILL) != 0 && errno != ESRCH) ::_exit(kKillFailed);
    ::_exit(kSignalled);
  }
  auto status = wait_for_child(pid);
  if (!status) return "cannot wait for the killer process: " + os_error_text(status.error());
  std::optional<int> code = status.value().code();
  if (code == kSignalled) return std::nullopt;
  switch (code.value_or(-1)) {
    case kSetgroupsFailed: return std::string("the killer process could not drop its groups");
    case kSetgidFailed: return std::string("the killer process could not take the group id");
    case kSetuidFailed: return std::string("the killer process could not take the user id");
    case kKillFailed: return std::string("the killer process could not send SIGKILL");
    default: return std::string("the killer process ended abnormally");
  }
}

std::string describe_survivors(const std::vector<pid_t>& pids, std::chrono::milliseconds budget) {
  std::string text = std::to_string(pids.size()) + " process(es) still alive after " +
                     std::to_string(budget.count()) + " ms (pid";
  for (size_t i = 0; i < pids.size() && i < 8; ++i) text += " " + std::to_string(pids[i]);
  if (pids.size() > 8) text += " ...";
  return text + ")";
}

}  // namespace

Result<std::vector<pid_t>, int> live_processes_of(uint32_t uid) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return err(errno);
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
  if (e != 0) return err(e);
  return Ok<std::vector<pid_t>>{std::move(pids)};
}

std::optional<std::string> kill_account_processes(uint32_t uid, std::chrono::milliseconds budget) {
  if (uid == 0) return std::string("refusing to kill every process of uid 0");
  const auto deadline = std::chrono::steady_clock::now() + budget;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    auto live = live_processes_of(uid);
    if (!live) {
      // Cannot look, so signal once and say that nothing was verified.
      if (auto failure = signal_all_as(uid)) return failure;
      return "cannot list the processes in /proc: " + os_error_text(live.error());
    }
    if (live.value().empty()) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return describe_survivors(live.value(), budget);
    if (auto failure = signal_all_as(uid)) return failure;
    // Killed processes take a moment to become zombies.
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

}  // namespace marrowfen::pool
