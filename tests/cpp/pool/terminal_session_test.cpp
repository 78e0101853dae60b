#include "pool/process/terminal_session.h"

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "pool/account/user_pool.h"
#include "pool/process/host_command.h"
#include "test_support.h"

namespace marrowfen::pool {
namespace {

using testing::HostAccountTest;
using testing::PathOverride;
using testing::read_file;
using testing::ScratchDir;
using testing::Shims;
using testing::Watchdog;

constexpr std::chrono::seconds kShellDeadline{60};

// Reads standard output in small pieces until `needle` shows up or the stream
// ends; every read must respect the buffer size.
std::string read_until(TerminalSession& session, std::string_view needle) {
  std::string seen;
  char buffer[7];
  while (seen.find(needle) == std::string::npos) {
    auto n = session.read_stdout(buffer);
    if (!n.ok()) {
      ADD_FAILURE() << n.error();
      break;
    }
    EXPECT_LE(n.value(), sizeof buffer);
    if (n.value() == 0) break;
    seen.append(buffer, n.value());
  }
  return seen;
}

class TerminalSessionTest : public HostAccountTest {
 protected:
  void SetUp() override {
    HostAccountTest::SetUp();
    if (IsSkipped()) return;
    auto user = UserPool::alloc_user(pool_);
    ASSERT_TRUE(user.ok()) << user.error();
    user_ = std::move(user).value();
  }

  TerminalSession spawn() {
    auto session = User::spawn_terminal(user_);
    if (!session.ok()) throw std::runtime_error(session.error().message());
    return std::move(session).value();
  }

  std::shared_ptr<UserPool> pool_ = std::make_shared<UserPool>(1);
  SharedUser user_;
};

TEST_F(TerminalSessionTest, ShellRunsAsTheAccountInItsHome) {
  Watchdog watchdog(kShellDeadline);
  TerminalSession session = spawn();
  auto u = testing::view_of(user_);
  ASSERT_TRUE(session.write("echo \"[$((40+2))|$HOME|$PWD|$(id -u)]\"\n").ok());
  std::string expected = "[42|" + u.home + "|" + u.home + "|" + std::to_string(u.uid) + "]";
  EXPECT_NE(read_until(session, expected).find(expected), std::string::npos);
  // Bytes arrive in order, across several writes.
  ASSERT_TRUE(session.write("echo one").ok());
  ASSERT_TRUE(session.write("").ok());
  ASSERT_TRUE(session.write("$((1+1))two\n").ok());
  EXPECT_NE(read_until(session, "one2two").find("one2two"), std::string::npos);
}

TEST_F(TerminalSessionTest, SuGetsExactlyTheSevenArguments) {
  TerminalSession session = spawn();
  auto u = testing::view_of(user_);
  // The spawn returns once the exec cannot fail any more, which can be a
  // moment before the kernel shows the new command line.
  std::string cmdline;
  ASSERT_TRUE(testing::eventually([&] {
    cmdline = read_file("/proc/" + std::to_string(*session.process_id()) + "/cmdline");
    return cmdline.starts_with("su");
  }));
  std::vector<std::string> argv;
  for (size_t start = 0; start < cmdline.size();) {
    size_t end = cmdline.find('\0', start);
    argv.push_back(cmdline.substr(start, end - start));
    start = end + 1;
  }
  std::string text = "export HOME=\"" + u.home + "\"; cd \"" + u.home + "\"; exec /bin/bash";
  EXPECT_EQ(argv, (std::vector<std::string>{"su", "-s", "/bin/bash", "-P", "-c", text, u.username}));
}

TEST_F(TerminalSessionTest, EmptyBufferReadsReturnAtOnce) {
  Watchdog watchdog(kShellDeadline);
  TerminalSession session = spawn();
  std::span<char> nothing;
  EXPECT_EQ(session.read_stdout(nothing).value(), 0u);
  EXPECT_EQ(session.read_stderr(nothing).value(), 0u);
}

TEST_F(TerminalSessionTest, ClosedSessionRefusesEverythingAndClosesTwice) {
  TerminalSession session = spawn();
  pid_t su = *session.process_id();
  session.close();
  EXPECT_TRUE(session.is_closed());
  EXPECT_EQ(session.process_id(), std::nullopt);
  EXPECT_EQ(::waitpid(su, nullptr, WNOHANG), -1) << "su was not reaped";
  char buffer[16];
  EXPECT_EQ(session.write("x").error(), "The process is None");
  EXPECT_EQ(session.read_stdout(buffer).error(), "The process is None");
  EXPECT_EQ(session.read_stderr(buffer).error(), "The process is None");
  EXPECT_NO_THROW(session.close());
}

// A read blocked on a silent shell holds nothing that a write, a read of the
// other stream or a close needs; the close ends the blocked read.
TEST_F(TerminalSessionTest, BlockedReadStallsNoOtherOperation) {
  Watchdog watchdog(kShellDeadline);
  TerminalSession session = spawn();
  std::atomic<bool> reading{false};
  std::thread reader([&] {
    char buffer[64];
    reading = true;
    while (true) {
      auto n = session.read_stderr(buffer);
      if (!n.ok() || n.value() == 0) break;
    }
  });
  while (!reading) std::this_thread::yield();
  ASSERT_TRUE(session.write("echo through-the-pipe\n").ok());
  EXPECT_NE(read_until(session, "through-the-pipe"), "");
  session.close();
  reader.join();
}

TEST_F(TerminalSessionTest, MissingSuFailsAtOnceAndGivesTheUserBack) {
  ScratchDir empty;
  PathOverride path(empty.path());
  auto session = User::spawn_terminal(user_);
  ASSERT_FALSE(session.ok());
  EXPECT_EQ(session.error(), "Failed to create the terminal session: No such file or directory (os error 2)");
  EXPECT_EQ(user_.use_count(), 1);
}

TEST_F(TerminalSessionTest, PoisonedUserLockIsAnInternalError) {
  try {
    auto held = user_->lock();
    panic("an internal error while the user lock is held");
  } catch (const Panic&) {
  }
  auto message = testing::panic_message([&] { (void)User::spawn_terminal(user_); });
  ASSERT_TRUE(message.has_value());
  EXPECT_TRUE(message->starts_with("☢️ Poisoned lock: ")) << *message;
  EXPECT_EQ(user_.use_count(), 1);
}

// After the shell is gone, reads see the end of the streams and writes fail
// with the broken pipe's text; SIGPIPE (at its default action in this
// program) neither ends the process nor stays pending.
TEST_F(TerminalSessionTest, WritingToAnExitedShellFailsWithBrokenPipe) {
  Watchdog watchdog(kShellDeadline);
  TerminalSession session = spawn();
  ASSERT_TRUE(session.write("exit\n").ok());
  read_until(session, std::string(1, '\0'));  // to the end of the stream
  char buffer[16];
  EXPECT_EQ(session.read_stdout(buffer).value(), 0u);
  EXPECT_EQ(session.read_stderr(buffer).value(), 0u);
  // The end of output can come a moment before su has exited and let go of
  // its input; a zombie holds no descriptors.
  std::string status_file = "/proc/" + std::to_string(*session.process_id()) + "/status";
  ASSERT_TRUE(testing::eventually([&] { return read_file(status_file).find("State:\tZ") != std::string::npos; }));
  auto written = session.write("echo too late\n");
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error(), "Failed to write to the stdin of the process: Broken pipe (os error 32)");
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  EXPECT_FALSE(session.is_closed());
}

TEST_F(TerminalSessionTest, SessionKeepsItsAccountInUse) {
  Shims shims;
  shims.add_recording("pkill");
  PathOverride path(shims);
  std::optional<TerminalSession> session(spawn());
  user_.reset();
  EXPECT_TRUE(shims.calls("pkill").empty());
  EXPECT_EQ(pool_->accounts_in_use().size(), 1u);
  session.reset();
  EXPECT_EQ(shims.calls("pkill").size(), 1u);
  EXPECT_TRUE(pool_->accounts_in_use().empty());
  EXPECT_EQ(pool_->free_accounts().size(), 1u);
}

// Starts `script` in the background of a session, detached from it, and waits
// until `ps` shows at least `count` of its `sleep 1000` processes (the
// session's own shell does not count: a signal sent before the script has
// set its traps would prove nothing).
void start_background(TerminalSession& session, uint32_t uid, const std::string& script, size_t count) {
  ASSERT_TRUE(session.write("(" + script + ") </dev/null >/dev/null 2>&1 & disown\n").ok());
  auto sleepers = [&] {
    size_t n = 0;
    for (const std::string& line : testing::ps_live_processes(uid)) n += line.find("sleep 1000") != std::string::npos;
    return n;
  };
  ASSERT_TRUE(testing::eventually([&] { return sleepers() >= count; })) << "the background processes never started";
}

std::vector<std::string> survivors_after_release(std::optional<TerminalSession>& session, SharedUser& user,
                                                 uint32_t uid) {
  session.reset();
  user.reset();
  return testing::ps_live_processes(uid);
}

TEST_F(TerminalSessionTest, ReleaseKillsAProcessThatIgnoresSigterm) {
  Watchdog watchdog(kShellDeadline);
  uint32_t uid = user_->lock()->uid;
  std::optional<TerminalSession> session(spawn());
  start_background(*session, uid, "trap '' TERM HUP; exec sleep 1000", 1);
  // pkill alone leaves it alive: that is what the release must get past.
  auto pkilled = run_host_command({"pkill", "-u", std::to_string(uid)});
  ASSERT_TRUE(pkilled.ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  bool sleeper_alive = false;
  for (const std::string& line : testing::ps_live_processes(uid)) {
    sleeper_alive |= line.find("sleep 1000") != std::string::npos;
  }
  ASSERT_TRUE(sleeper_alive);

  EXPECT_EQ(survivors_after_release(session, user_, uid), std::vector<std::string>{});
}

TEST_F(TerminalSessionTest, ReleaseKillsAProcessThatKeepsForking) {
  Watchdog watchdog(kShellDeadline);
  uint32_t uid = user_->lock()->uid;
  std::optional<TerminalSession> session(spawn());
  start_background(*session, uid,
                   "ulimit -u 400; trap '' TERM HUP;"
                   "while :; do (trap '' TERM HUP; exec sleep 1000) & sleep 0.01; done",
                   30);
  EXPECT_EQ(survivors_after_release(session, user_, uid), std::vector<std::string>{});
}

}  // namespace
}  // namespace marrowfen::pool
