// Helpers of the pool tests: skipping without root or host tools, a watchdog
// that turns a hang into a failure, PATH overrides with recording shims, and
// capture of descriptor 2.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/panic.h"
#include "base/unique_fd.h"
#include "pool/account/user.h"

namespace marrowfen::pool::testing {

// The full path of `program` in the current PATH, if there is one.
std::optional<std::string> find_in_path(const std::string& program);

// Why tests that make real accounts and shells cannot run here, if they cannot.
std::optional<std::string> host_account_skip_reason();

// Ends the whole test program with a message when a test outlives `limit`, so
// a shell that never answers fails the run instead of stalling it.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable disarmed_;
  bool done_ = false;
  std::thread thread_;
};

// A fresh directory under /tmp, removed (without following links) at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes `content` to `path`, replacing it.
void write_file(const std::string& path, const std::string& content, unsigned mode = 0644);
std::string read_file(const std::string& path);

// A directory of stand-in host programs, each a small shell script. Every
// shim appends its arguments as one line to <dir>/<name>.log before its body.
class Shims {
 public:
  // `body` runs under /bin/sh with the arguments in "$@".
  void add(const std::string& name, const std::string& body);
  // A shim that logs, then runs the real program found in PATH now.
  void add_recording(const std::string& name);
  // The logged calls of `name`, one argument line each.
  std::vector<std::string> calls(const std::string& name) const;
  const std::string& dir() const { return scratch_.path(); }

 private:
  ScratchDir scratch_;
};

// Sets PATH for its lifetime.
class PathOverride {
 public:
  explicit PathOverride(const std::string& path);
  // The shims first, then the current PATH.
  explicit PathOverride(const Shims& shims);
  ~PathOverride();

 private:
  std::optional<std::string> saved_;
};

// Sends descriptor 2 to a file for its lifetime; text() is what arrived.
class CapturedStderr {
 public:
  CapturedStderr();
  ~CapturedStderr();
  std::string text();

 private:
  void restore();
  ScratchDir scratch_;
  UniqueFd saved_;
};

// The live (not zombie) processes of `uid` as `ps` sees them: an independent
// look at what the pool's own /proc scan decides.
std::vector<std::string> ps_live_processes(uint32_t uid);

// Starts `sleep 1000` as `uid` in a session of its own, as a tenant's daemon.
pid_t start_process_as(uint32_t uid);

// A copy of what a user record holds.
struct UserView {
  std::string username;
  std::string home;
  uint32_t uid;
};
UserView view_of(const SharedUser& user);

// Whatever `body` throws as an internal error, as its message.
template <class Body>
std::optional<std::string> panic_message(Body&& body) {
  try {
    body();
  } catch (const Panic& p) {
    return p.message();
  }
  return std::nullopt;
}

// Calls `check` every few milliseconds until it holds or `limit` passes.
template <class Check>
bool eventually(Check&& check, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!check()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Holds a lock file for the test's lifetime: tests in other processes that
// hand out the same fixed-seed accounts must not run at the same time.
class HostAccountLock {
 public:
  HostAccountLock();
  ~HostAccountLock();

 private:
  UniqueFd fd_;
};

// Base of the tests that make real accounts: skips without root or the host
// tools, serialises with other such test processes.
class HostAccountTest : public ::testing::Test {
 protected:
  void SetUp() override;

 private:
  std::optional<HostAccountLock> lock_;
};

}  // namespace marrowfen::pool::testing
