#include "pool/account/account_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.h"

namespace marrowfen::pool {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;

class AccountLockTest : public ::testing::Test {
 protected:
  std::string dir() const { return scratch_ / "locks"; }

  // Claims `name`; nothing when someone else holds it. Fails the test when
  // the directory cannot be used.
  std::optional<AccountLock> claim(const std::string& name) {
    auto claimed = AccountLock::try_claim(name, dir());
    EXPECT_TRUE(claimed.ok()) << claimed.error();
    if (!claimed.ok()) return std::nullopt;
    return std::move(claimed).value();
  }

  // Whether a forked child (another process) can claim `name` now.
  bool free_for_another_process(const std::string& name) {
    pid_t pid = ::fork();
    if (pid == 0) {
      auto claimed = AccountLock::try_claim(name, dir());
      ::_exit(claimed.ok() && claimed.value().has_value() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  ScratchDir scratch_;
  // A claim waits for nothing and a forked child exits at once: a hang here
  // is a fault, and fails the run.
  testing::Watchdog watchdog_{std::chrono::seconds(30)};
};

TEST_F(AccountLockTest, OneHolderAtATimeInThisProcessAndOthers) {
  std::optional<AccountLock> first = claim("test_a");
  ASSERT_TRUE(first.has_value());
  // A second claim in this process (another pool) is refused, as is one from
  // another process; other accounts are independent.
  EXPECT_FALSE(claim("test_a").has_value());
  EXPECT_FALSE(free_for_another_process("test_a"));
  EXPECT_TRUE(free_for_another_process("test_b"));

  AccountLock moved = std::move(*first);
  first.reset();
  EXPECT_FALSE(claim("test_a").has_value()) << "a moved-from claim let go";
  {
    AccountLock ended = std::move(moved);
  }
  EXPECT_TRUE(free_for_another_process("test_a"));
  EXPECT_TRUE(claim("test_a").has_value());
}

TEST_F(AccountLockTest, ClaimsAreNotInheritedByChildren) {
  std::optional<AccountLock> held = claim("test_a");
  ASSERT_TRUE(held.has_value());
  // Close-on-exec: no program started from here inherits the descriptor.
  int inherited = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    if (fs::read_symlink(entry.path(), ignored) == fs::path(dir()) / "test_a") {
      int fd = std::stoi(entry.path().filename().string());
      EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
      ++inherited;
    }
  }
  EXPECT_EQ(inherited, 1);

  // A forked child closes its copy at once (before fork() returns in it):
  // once the parent lets go, the account is free while that child lives.
  int to_child[2];
  int from_child[2];
  ASSERT_EQ(::pipe(to_child), 0);
  ASSERT_EQ(::pipe(from_child), 0);
  pid_t child = ::fork();
  if (child == 0) {
    char byte = 'r';
    (void)!::write(from_child[1], &byte, 1);
    (void)!::read(to_child[0], &byte, 1);
    ::_exit(0);
  }
  char running;
  ASSERT_EQ(::read(from_child[0], &running, 1), 1);
  held.reset();
  EXPECT_TRUE(free_for_another_process("test_a"));
  (void)!::write(to_child[1], "x", 1);
  ::waitpid(child, nullptr, 0);
  for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) ::close(fd);
}

TEST_F(AccountLockTest, DirectoryIsPrivateAndMadeWithoutFollowingLinks) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: it hands the directory to another uid";
  mode_t saved = ::umask(0);
  ASSERT_TRUE(claim("test_a").has_value());
  ::umask(saved);
  struct stat st{};
  ASSERT_EQ(::lstat(dir().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::lstat((dir() + "/test_a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // A directory that others could change, or that is not ours, or a link in
  // its place, is refused and left as it is.
  for (mode_t unsafe : {0770, 0703, 01777}) {
    ASSERT_EQ(::chmod(dir().c_str(), unsafe), 0);
    EXPECT_FALSE(AccountLock::try_claim("test_a", dir()).ok()) << std::oct << unsafe;
  }
  ASSERT_EQ(::chmod(dir().c_str(), 0700), 0);
  ASSERT_EQ(::chown(dir().c_str(), 54321, 54321), 0);
  auto foreign = AccountLock::try_claim("test_a", dir());
  ASSERT_FALSE(foreign.ok());
  EXPECT_EQ(foreign.error(), dir() + ": not a directory of ours that only we may write");

  fs::remove_all(dir());
  std::string elsewhere = scratch_ / "elsewhere";
  fs::create_directory(elsewhere);
  fs::create_directory_symlink(elsewhere, dir());
  auto linked = AccountLock::try_claim("test_a", dir());
  ASSERT_FALSE(linked.ok());
  EXPECT_EQ(linked.error(), dir() + ": Not a directory (os error 20)");
  EXPECT_TRUE(fs::is_empty(elsewhere));

  // A link planted as a lock file is not followed either.
  fs::remove(dir());
  fs::create_directory(dir(), scratch_.path());
  ::chmod(dir().c_str(), 0700);
  fs::create_symlink(elsewhere + "/planted", dir() + "/test_b");
  EXPECT_FALSE(AccountLock::try_claim("test_b", dir()).ok());
  EXPECT_FALSE(fs::exists(elsewhere + "/planted"));
}

}  // namespace
}  // namespace marrowfen::pool
