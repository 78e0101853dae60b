#include "test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "pool/process/host_command.h"

namespace marrowfen::pool::testing {

std::optional<std::string> find_in_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

std::optional<std::string> host_account_skip_reason() {
  if (::geteuid() != 0) return "needs root: it creates host accounts and changes file ownership";
  for (const char* tool : {"id", "useradd", "su", "pkill", "ps"}) {
    if (!find_in_path(tool)) return std::string("needs the host command `") + tool + "` in PATH";
  }
  return std::nullopt;
}

Watchdog::Watchdog(std::chrono::seconds limit) {
  const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()
                               ? ::testing::UnitTest::GetInstance()->current_test_info()->name()
                               : "?";
  thread_ = std::thread([this, limit, test] {
    std::unique_lock lock(mutex_);
    if (disarmed_.wait_for(lock, limit, [this] { return done_; })) return;
    std::string message =
        "\nwatchdog: test " + test + " still running after " + std::to_string(limit.count()) + " s; failing the run\n";
    (void)!::write(STDERR_FILENO, message.data(), message.size());
    ::_exit(3);
  });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  disarmed_.notify_all();
  thread_.join();
}

ScratchDir::ScratchDir() {
  char pattern[] = "/tmp/marrowfen-pool-test-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);  // does not follow links
}

void write_file(const std::string& path, const std::string& content, unsigned mode) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
  }
  ::chmod(path.c_str(), mode);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void Shims::add(const std::string& name, const std::string& body) {
  write_file(scratch_ / name, "#!/bin/sh\necho \"$*\" >> '" + (scratch_ / name) + ".log'\n" + body + "\n", 0755);
}

void Shims::add_recording(const std::string& name) {
  std::optional<std::string> real = find_in_path(name);
  if (!real) throw std::runtime_error("no real " + name + " to record");
  add(name, "exec '" + *real + "' \"$@\"");
}

std::vector<std::string> Shims::calls(const std::string& name) const {
  std::istringstream log(read_file(scratch_ / (name + ".log")));
  std::vector<std::string> lines;
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  return lines;
}

PathOverride::PathOverride(const std::string& path) {
  if (const char* old = std::getenv("PATH")) saved_ = old;
  ::setenv("PATH", path.c_str(), 1);
}

PathOverride::PathOverride(const Shims& shims)
    : PathOverride(shims.dir() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "")) {}

PathOverride::~PathOverride() {
  if (saved_) {
    ::setenv("PATH", saved_->c_str(), 1);
  } else {
    ::unsetenv("PATH");
  }
}

CapturedStderr::CapturedStderr() : saved_(::dup(STDERR_FILENO)) {
  UniqueFd file(::open((scratch_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  ::dup2(file.get(), STDERR_FILENO);
}

CapturedStderr::~CapturedStderr() { restore(); }

void CapturedStderr::restore() {
  if (saved_) ::dup2(saved_.get(), STDERR_FILENO);
  saved_.reset();
}

std::string CapturedStderr::text() {
  restore();
  return read_file(scratch_ / "stderr");
}

std::vector<std::string> ps_live_processes(uint32_t uid) {
  auto ran = run_host_command({"ps", "-e", "-o", "uid=,stat=,pid=,args="});
  if (!ran || !ran.value().success()) throw std::runtime_error("ps failed");
  std::istringstream lines(ran.value().stdout_bytes);
  std::vector<std::string> live;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    uint32_t owner = 0;
    std::string state;
    fields >> owner >> state;
    if (owner == uid && !state.starts_with('Z')) live.push_back(line);
  }
  return live;
}

UserView view_of(const SharedUser& user) {
  auto u = user->lock();
  return {u->username, u->home, u->uid};
}

HostAccountLock::HostAccountLock()
    : fd_(::open("/tmp/marrowfen-host-account-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
  if (!fd_) throw std::runtime_error("cannot open the host account test lock");
  while (::flock(fd_.get(), LOCK_EX) != 0) {
    if (errno != EINTR) throw std::runtime_error("cannot take the host account test lock");
  }
}

HostAccountLock::~HostAccountLock() { ::flock(fd_.get(), LOCK_UN); }

void HostAccountTest::SetUp() {
  if (auto reason = host_account_skip_reason()) GTEST_SKIP() << *reason;
  lock_.emplace();
}

// Starts `sleep 1000` as `uid` in a session of its own, as a tenant's daemon.
pid_t start_process_as(uint32_t uid) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::setsid() < 0 || ::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
        ::setresuid(uid, uid, uid) != 0) {
      ::_exit(90);
    }
    ::execl("/bin/sleep", "sleep", "1000", static_cast<char*>(nullptr));
    ::_exit(91);
  }
  return pid;
}

}  // namespace marrowfen::pool::testing
