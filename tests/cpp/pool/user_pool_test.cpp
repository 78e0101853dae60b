#include "pool/account/user_pool.h"

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "pool/account/home_dir.h"
#include "pool/account/userid.h"
#include "pool/cleanup/deferred_panic.h"
#include "test_support.h"

namespace marrowfen::pool {
namespace {

namespace fs = std::filesystem;
using testing::CapturedStderr;
using testing::HostAccountTest;
using testing::panic_message;
using testing::PathOverride;
using testing::read_file;
using testing::ScratchDir;
using testing::Shims;
using testing::write_file;

const char* const kAllocationFailed = "Failed to allocate a new user account";
const std::string kPoisoned = "☢️ Poisoned lock: ";

SharedUser allocate(const std::shared_ptr<UserPool>& pool) {
  auto user = UserPool::alloc_user(pool);
  if (!user.ok()) throw std::runtime_error("allocation failed: " + user.error().message());
  return std::move(user).value();
}

std::string alloc_error(const std::shared_ptr<UserPool>& pool) {
  auto user = UserPool::alloc_user(pool);
  return user.ok() ? "(allocated " + user.value()->lock()->username + ")" : user.error().message();
}

using UserPoolTest = HostAccountTest;

TEST_F(UserPoolTest, CapacityZeroRefusesWithoutTouchingTheHost) {
  Shims shims;
  shims.add_recording("id");
  shims.add_recording("useradd");
  PathOverride path(shims);
  auto pool = std::make_shared<UserPool>(0);
  EXPECT_EQ(alloc_error(pool), kAllocationFailed);
  EXPECT_EQ(alloc_error(pool), kAllocationFailed);
  EXPECT_TRUE(shims.calls("id").empty());
  EXPECT_TRUE(shims.calls("useradd").empty());
}

TEST_F(UserPoolTest, CapacityOneHandsTheSameAccountOutAgain) {
  auto pool = std::make_shared<UserPool>(1);
  SharedUser first = allocate(pool);
  testing::UserView a = testing::view_of(first);
  EXPECT_EQ(userid(a.username), a.uid);
  EXPECT_EQ(alloc_error(pool), kAllocationFailed);

  Shims shims;
  shims.add_recording("id");
  shims.add_recording("useradd");
  PathOverride path(shims);
  first.reset();
  EXPECT_TRUE(pool->accounts_in_use().empty());
  ASSERT_EQ(pool->free_accounts().size(), 1u);

  SharedUser again = allocate(pool);
  testing::UserView b = testing::view_of(again);
  EXPECT_EQ(b.username, a.username);
  EXPECT_EQ(b.uid, a.uid);
  EXPECT_EQ(b.home, a.home);
  EXPECT_TRUE(shims.calls("id").empty());
  EXPECT_TRUE(shims.calls("useradd").empty());
}

TEST_F(UserPoolTest, ASecondPoolAdoptsTheAccountsOfTheFirst) {
  testing::UserView a = testing::view_of(allocate(std::make_shared<UserPool>(4)));

  Shims shims;
  shims.add_recording("id");
  shims.add_recording("useradd");
  PathOverride path(shims);
  auto second = std::make_shared<UserPool>(4);
  testing::UserView b = testing::view_of(allocate(second));
  EXPECT_EQ(b.username, a.username);
  EXPECT_EQ(b.uid, a.uid);
  EXPECT_EQ(shims.calls("id"), std::vector<std::string>{"-u " + a.username});
  EXPECT_TRUE(shims.calls("useradd").empty());
}

// Pools of one process draw the same names, but an account held by one is
// passed by in the others: a drawn name is used up without even asking
// `id`, a free entry stays free for later. (Another process on the host may
// hold some of the names: the test works with the ones it is given.)
TEST_F(UserPoolTest, TwoPoolsNeverHoldOneAccountAtOnce) {
  auto first = std::make_shared<UserPool>(4);
  SharedUser mine = allocate(first);
  std::string a = testing::view_of(mine).username;

  Shims shims;
  shims.add_recording("id");
  PathOverride path(shims);
  auto second = std::make_shared<UserPool>(4);
  SharedUser theirs = allocate(second);
  std::string b = testing::view_of(theirs).username;
  EXPECT_NE(b, a);
  EXPECT_EQ(shims.calls("id"), std::vector<std::string>{"-u " + b});

  mine.reset();  // free on the first pool, which is not the only one to see it
  // The third pool takes a, unless a name before it came free meanwhile
  // (another process let go of it); either way none is held twice.
  SharedUser third_pools = allocate(std::make_shared<UserPool>(4));
  std::string t = testing::view_of(third_pools).username;
  EXPECT_NE(t, b);
  SharedUser next = allocate(first);
  std::string c = testing::view_of(next).username;
  EXPECT_NE(c, b);
  EXPECT_NE(c, t);
  // The first pool hands out its free entry a unless another pool holds it;
  // then the entry stays free for later.
  EXPECT_EQ(c == a, t != a);
  if (t == a) {
    ASSERT_EQ(first->free_accounts().size(), 1u);
    EXPECT_EQ(first->free_accounts()[0].name, a);
    third_pools.reset();
    EXPECT_EQ(testing::view_of(allocate(first)).username, a);
  }
}

// What is left of an account whose owner died without a release is gone
// before the account is handed out again.
TEST_F(UserPoolTest, AHandOutClearsWhatAnEarlierTenantLeft) {
  auto pool = std::make_shared<UserPool>(1);
  testing::UserView a = testing::view_of(allocate(pool));
  pid_t daemon = testing::start_process_as(a.uid);
  ASSERT_TRUE(testing::eventually([&] { return testing::ps_live_processes(a.uid).size() == 1; }));
  std::string leftover = "/tmp/marrowfen-pool-test-leftover-" + std::to_string(::getpid());
  write_file(leftover, "for the next tenant");
  ASSERT_EQ(::chown(leftover.c_str(), a.uid, a.uid), 0);

  testing::UserView b = testing::view_of(allocate(pool));
  EXPECT_EQ(b.username, a.username);
  EXPECT_EQ(testing::ps_live_processes(a.uid), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(leftover));
  int status = 0;
  ASSERT_EQ(::waitpid(daemon, &status, 0), daemon);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  fs::remove(leftover);
}

TEST_F(UserPoolTest, HomeIsFreshEmptyAndOwnedByTheAccount) {
  auto pool = std::make_shared<UserPool>(1);
  testing::UserView a = testing::view_of(allocate(pool));
  SharedUser user = allocate(pool);  // the same account again, home recreated
  testing::UserView b = testing::view_of(user);
  EXPECT_EQ(b.home, std::string(kHomeRoot) + "/" + b.username);
  struct stat st{};
  ASSERT_EQ(::lstat(b.home.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_uid, b.uid);
  EXPECT_EQ(st.st_gid, b.uid);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_TRUE(fs::is_empty(b.home));
  ASSERT_EQ(::lstat(kHomeRoot, &st), 0);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(st.st_mode & 022, 0u) << "home root writable by others";
  EXPECT_EQ(a.username, b.username);
}

// A failed home preparation gives the account back: with capacity 1 the next
// allocation could not succeed otherwise.
// Removes a file planted at a real home path when the test ends, whatever
// became of it: a later hand-out must not meet it.
struct PlantedFile {
  std::string path;
  ~PlantedFile() {
    std::error_code ignored;
    if (fs::is_regular_file(fs::symlink_status(path, ignored))) fs::remove(path, ignored);
  }
};

TEST_F(UserPoolTest, FileAtTheHomeFailsAndTheAccountStaysAvailable) {
  auto pool = std::make_shared<UserPool>(1);
  testing::UserView a = testing::view_of(allocate(pool));
  fs::remove_all(a.home);
  write_file(a.home, "in the way");
  PlantedFile planted{a.home};

  EXPECT_EQ(alloc_error(pool), "Failed to remove the existing temporary home directory");
  EXPECT_EQ(read_file(a.home), "in the way");
  EXPECT_TRUE(pool->accounts_in_use().empty());
  EXPECT_EQ(pool->free_accounts().size(), 1u);

  fs::remove(a.home);
  testing::UserView b = testing::view_of(allocate(pool));
  EXPECT_EQ(b.username, a.username);
  EXPECT_EQ(b.uid, a.uid);
}

TEST_F(UserPoolTest, FailedUseraddWarnsAndTheNextTryDrawsANewName) {
  Shims shims;
  shims.add("id", "exit 1");
  shims.add("useradd", "printf 'useradd: refused\\n' >&2; exit 9");
  PathOverride path(shims);
  auto pool = std::make_shared<UserPool>(4);
  CapturedStderr err;
  EXPECT_EQ(alloc_error(pool), kAllocationFailed);
  EXPECT_EQ(alloc_error(pool), kAllocationFailed);
  EXPECT_EQ(err.text(),
            "Failed to create the user account: useradd: refused\n\n"
            "Failed to create the user account: useradd: refused\n\n");
  std::vector<std::string> names = shims.calls("useradd");
  ASSERT_EQ(names.size(), 2u);
  EXPECT_NE(names[0], names[1]);
  EXPECT_TRUE(pool->accounts_in_use().empty());
}

TEST_F(UserPoolTest, UnusableIdOutputFailsTheAllocation) {
  Shims shims;
  shims.add("id", "printf '\\377\\n'");
  shims.add("useradd", "exit 0");
  PathOverride path(shims);
  auto pool = std::make_shared<UserPool>(4);
  CapturedStderr err;
  EXPECT_EQ(alloc_error(pool), kAllocationFailed);
  EXPECT_EQ(err.text(),
            "Failed to convert the result back to a valid utf-8 string\n"
            "Failed to convert the result back to a valid utf-8 string\n");
  EXPECT_EQ(shims.calls("useradd").size(), 1u);
}

TEST_F(UserPoolTest, MissingUseraddIsAnInternalError) {
  Shims shims;
  shims.add("id", "exit 1");
  PathOverride path(shims.dir());
  auto pool = std::make_shared<UserPool>(4);
  EXPECT_EQ(panic_message([&] { (void)UserPool::alloc_user(pool); }),
            "Failed to execute the command `useradd`: No such file or directory (os error 2)");
}

// Once `id` cannot be run under the pool lock, the pool stays poisoned: later
// allocations and releases meet the poisoned lock, the release after pkill.
TEST_F(UserPoolTest, MissingIdPoisonsThePoolForGood) {
  auto pool = std::make_shared<UserPool>(4);
  SharedUser held = allocate(pool);
  uint32_t uid = held->lock()->uid;
  ScratchDir empty;
  {
    PathOverride path(empty.path());
    EXPECT_EQ(panic_message([&] { (void)UserPool::alloc_user(pool); }),
              "Failed to execute the command `id`: No such file or directory (os error 2)");
  }
  auto again = panic_message([&] { (void)UserPool::alloc_user(pool); });
  ASSERT_TRUE(again.has_value());
  EXPECT_TRUE(again->starts_with(kPoisoned)) << *again;

  Shims shims;
  shims.add_recording("pkill");
  PathOverride path(shims);
  ASSERT_EQ(take_deferred_panic(), std::nullopt);
  held.reset();
  EXPECT_EQ(shims.calls("pkill"), std::vector<std::string>{"-u " + std::to_string(uid)});
  auto deferred = take_deferred_panic();
  ASSERT_TRUE(deferred.has_value());
  EXPECT_TRUE(deferred->starts_with(kPoisoned)) << *deferred;
  EXPECT_EQ(take_deferred_panic(), std::nullopt);
}

TEST_F(UserPoolTest, PkillTroubleIsAWarningAndTheReleaseGoesOn) {
  const std::string prefix = "⚠️ Failed to kill all processes of the user: ";
  struct Case {
    const char* pkill_body;  // nullptr: no pkill at all
    std::string warning;
  };
  const Case cases[] = {
      {"exit 0", ""},
      {"exit 1", ""},
      {"exit 2", ""},
      {"printf 'bad' >&2; exit 3", prefix + "Failed exit code: 3 (bad)\n"},
      {"printf '\\377' >&2; exit 4", prefix + "Failed exit code: 4 ()\n"},
      {"printf 'x' >&2; kill -KILL $$", prefix + "Failed exit code: None (x)\n"},
      {nullptr, prefix + "Failed to execute the command `pkill`: No such file or directory (os error 2)\n"},
  };
  auto pool = std::make_shared<UserPool>(1);
  for (const Case& c : cases) {
    SharedUser user = allocate(pool);
    Shims shims;
    if (c.pkill_body) shims.add("pkill", c.pkill_body);
    PathOverride path(shims.dir());
    CapturedStderr err;
    user.reset();
    EXPECT_EQ(err.text(), c.warning) << (c.pkill_body ? c.pkill_body : "no pkill");
    EXPECT_EQ(pool->free_accounts().size(), 1u);
  }
}

}  // namespace
}  // namespace marrowfen::pool
