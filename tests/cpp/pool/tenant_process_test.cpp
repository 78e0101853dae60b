#include "pool/process/tenant_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "test_support.h"

namespace marrowfen::pool {
namespace {

using testing::eventually;
using testing::PathOverride;
using testing::read_file;
using testing::ScratchDir;
using testing::Watchdog;
using testing::write_file;

// Runs `script` under /bin/sh as a tenant process; its standard output.
std::string output_of(const std::string& script) {
  auto spawned = spawn_tenant_process({"sh", "-c", script});
  EXPECT_TRUE(spawned.ok());
  if (!spawned.ok()) return "";
  ChildProcess child = std::move(spawned).value();
  child.stdin_pipe.reset();
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = ::read(child.stdout_pipe.get(), buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  EXPECT_TRUE(wait_for_child(child.pid).ok());
  return out;
}

bool is_live(pid_t pid) {
  std::string status = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t close_paren = status.rfind(')');
  return close_paren != std::string::npos && status.size() > close_paren + 2 && status[close_paren + 2] != 'Z';
}

TEST(TenantProcess, GetsNothingOfTheHostButWhatItNeeds) {
  Watchdog watchdog(std::chrono::seconds(30));
  ::setenv("MF_HOST_SECRET", "hunter2", 1);
  ::setenv("LC_TIME", "C", 1);
  // An inheritable descriptor of the host, a signal the host ignores and one
  // it blocks: none of them reaches the child.
  ScratchDir scratch;
  write_file(scratch / "secret", "host data");
  int leaked = ::open((scratch / "secret").c_str(), O_RDONLY);
  ASSERT_GE(leaked, 0);
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  struct sigaction saved_int{};
  ::sigaction(SIGINT, &ignore, &saved_int);
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
  mode_t saved_umask = ::umask(0);

  std::string out = output_of(
      "umask; pwd; env | sort | grep -v '^PWD=' | tr '\\n' ' '; echo; grep -E '^(SigBlk|SigIgn)' /proc/self/status");
  auto sleeper = spawn_tenant_process({"sleep", "1000"});
  ASSERT_TRUE(sleeper.ok());
  // The spawn returns once the exec has begun; the program's loader may still
  // hold a library open for a moment. An inherited descriptor never goes away.
  std::vector<std::string> fds;
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  do {
    fds.clear();
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(sleeper.value().pid) + "/fd")) {
      fds.push_back(entry.path().filename().string());
    }
    std::sort(fds.begin(), fds.end());
  } while (fds.size() > 3 && std::chrono::steady_clock::now() < give_up);
  EXPECT_EQ(fds, (std::vector<std::string>{"0", "1", "2"}));
  ::kill(sleeper.value().pid, SIGKILL);
  (void)wait_for_child(sleeper.value().pid);

  ::umask(saved_umask);
  ::pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
  ::sigaction(SIGINT, &saved_int, nullptr);
  ::close(leaked);
  ::unsetenv("MF_HOST_SECRET");
  ::unsetenv("LC_TIME");

  std::string expected_env = "LC_TIME=C PATH=" + std::string(kTenantPath) + " ";
  if (const char* lang = std::getenv("LANG")) expected_env = "LANG=" + std::string(lang) + " " + expected_env;
  if (const char* term = std::getenv("TERM")) expected_env += "TERM=" + std::string(term) + " ";
  if (const char* tz = std::getenv("TZ")) expected_env += "TZ=" + std::string(tz) + " ";
  EXPECT_EQ(out, "0077\n/\n" + expected_env + "\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

TEST(TenantProcess, EnvironmentAndProgramLookUp) {
  const char* env[] = {"PATH=/host/bin", "TERM=xterm", "LANG=de_DE.UTF-8",
                       "LC_ALL=C",       "TZ=UTC",     "AWS_SECRET_ACCESS_KEY=x",
                       "TERMINFO=/x",    "HOME=/root", "LCX=1",
                       "noequals",       nullptr};
  EXPECT_EQ(tenant_environment(env), (std::vector<std::string>{std::string("PATH=") + kTenantPath, "TERM=xterm",
                                                               "LANG=de_DE.UTF-8", "LC_ALL=C", "TZ=UTC"}));
  EXPECT_EQ(tenant_environment(nullptr), std::vector<std::string>{std::string("PATH=") + kTenantPath});

  EXPECT_EQ(exec_candidates("su", "/a:/b/c::/d"), (std::vector<std::string>{"/a/su", "/b/c/su", "su", "/d/su"}));
  EXPECT_EQ(exec_candidates("su", nullptr), (std::vector<std::string>{"/bin/su", "/usr/bin/su"}));
  EXPECT_EQ(exec_candidates("./x/su", "/a"), std::vector<std::string>{"./x/su"});
}

TEST(TenantProcess, AProgramThatCannotRunIsReportedAtOnce) {
  ScratchDir scratch;
  write_file(scratch / "not-executable", "#!/bin/sh\n", 0644);
  PathOverride path(scratch.path());
  auto missing = spawn_tenant_process({"no-such-program"});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().os_error, ENOENT);
  auto denied = spawn_tenant_process({"not-executable"});
  ASSERT_FALSE(denied.ok());
  EXPECT_EQ(denied.error().os_error, EACCES);
}

// Started from a thread that then ends, the child lives on: only the end of
// the process ends it.
TEST(TenantProcess, OutlivesTheThreadThatStartedIt) {
  pid_t pid = -1;
  std::thread([&] {
    auto spawned = spawn_tenant_process({"sleep", "1000"});
    ASSERT_TRUE(spawned.ok());
    pid = spawned.value().pid;
  }).join();
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(is_live(pid));
  ::kill(pid, SIGKILL);
  EXPECT_TRUE(wait_for_child(pid).ok());
}

// The owner dies without a word (here: a forked process that exits at once):
// its child gets SIGKILL from the kernel.
TEST(TenantProcess, DiesWithTheProcessThatStartedIt) {
  int pid_pipe[2];
  ASSERT_EQ(::pipe(pid_pipe), 0);
  pid_t owner = ::fork();
  if (owner == 0) {
    auto spawned = spawn_tenant_process({"sleep", "1000"});
    pid_t child = spawned.ok() ? spawned.value().pid : -1;
    (void)!::write(pid_pipe[1], &child, sizeof child);
    ::_exit(0);
  }
  pid_t orphan = -1;
  ASSERT_EQ(::read(pid_pipe[0], &orphan, sizeof orphan), static_cast<ssize_t>(sizeof orphan));
  ::close(pid_pipe[0]);
  ::close(pid_pipe[1]);
  ::waitpid(owner, nullptr, 0);
  ASSERT_GT(orphan, 0);
  EXPECT_TRUE(eventually([&] { return !is_live(orphan); })) << "sleep " << orphan << " outlived its owner";
  ::kill(orphan, SIGKILL);  // in case it did
}

}  // namespace
}  // namespace marrowfen::pool
