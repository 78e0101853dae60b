#include "pool/account/home_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.h"

namespace marrowfen::pool {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

constexpr uint32_t kUid = 54321;  // needs no account: chown takes any number
const char* const kRootRefused = "Failed to create the parent folder of the temporary home directory";

class HomeDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: it gives directories to other uids";
  }

  std::string root() const { return scratch_ / "homes"; }
  std::string home() const { return root() + "/test_home"; }
  Result<std::string, Error> prepare() { return prepare_home(root(), "test_home", kUid); }

  static struct stat lstat_of(const std::string& path) {
    struct stat st{};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
  }

  void expect_fresh_home(const Result<std::string, Error>& prepared) {
    ASSERT_TRUE(prepared.ok()) << prepared.error();
    EXPECT_EQ(prepared.value(), fs::canonical(home()).string());
    struct stat st = lstat_of(home());
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, kUid);
    EXPECT_EQ(st.st_gid, kUid);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_TRUE(fs::is_empty(home()));
  }

  ScratchDir scratch_;
};

TEST_F(HomeDirTest, NewRootIsPrivateToUsWhateverTheUmask) {
  mode_t old_umask = ::umask(0);
  auto prepared = prepare();
  ::umask(old_umask);
  expect_fresh_home(prepared);
  struct stat root_st = lstat_of(root());
  EXPECT_EQ(root_st.st_mode & 07777, 0755u);
  EXPECT_EQ(root_st.st_uid, ::geteuid());
}

// No other tenant may read a home or plant anything in it, whatever the
// umask: with 0 it would be made 0777, with 0777 unusable by its owner.
TEST_F(HomeDirTest, HomeIsPrivateWhateverTheUmask) {
  for (mode_t mask : {0000, 0022, 0777}) {
    mode_t saved = ::umask(mask);
    auto prepared = prepare();
    ::umask(saved);
    expect_fresh_home(prepared);
  }
}

TEST_F(HomeDirTest, RootThatOthersCouldChangeIsRefused) {
  ASSERT_EQ(::mkdir(root().c_str(), 0755), 0);
  for (mode_t unsafe : {0775, 0757, 01777}) {
    ASSERT_EQ(::chmod(root().c_str(), unsafe), 0);
    auto prepared = prepare();
    ASSERT_FALSE(prepared.ok()) << std::oct << unsafe;
    EXPECT_EQ(prepared.error(), kRootRefused);
  }
  ASSERT_EQ(::chmod(root().c_str(), 0755), 0);
  ASSERT_EQ(::chown(root().c_str(), kUid, kUid), 0);
  auto foreign = prepare();
  ASSERT_FALSE(foreign.ok());
  EXPECT_EQ(foreign.error(), kRootRefused);
  EXPECT_FALSE(fs::exists(home()));
}

TEST_F(HomeDirTest, RootThatIsALinkOrAFileIsRefused) {
  std::string elsewhere = scratch_ / "elsewhere";
  ASSERT_EQ(::mkdir(elsewhere.c_str(), 0755), 0);
  fs::create_directory_symlink(elsewhere, root());
  auto linked = prepare();
  ASSERT_FALSE(linked.ok());
  EXPECT_EQ(linked.error(), kRootRefused);
  EXPECT_TRUE(fs::is_empty(elsewhere));

  fs::remove(root());
  write_file(root(), "not a directory");
  auto file = prepare();
  ASSERT_FALSE(file.ok());
  EXPECT_EQ(file.error(), kRootRefused);
}

TEST_F(HomeDirTest, StaleTreeIsWipedWithoutFollowingItsLinks) {
  std::string outside_dir = scratch_ / "outside";
  fs::create_directories(outside_dir + "/kept");
  write_file(outside_dir + "/kept/file", "precious");
  write_file(scratch_ / "outside-file", "precious too");

  ASSERT_TRUE(prepare().ok());
  fs::create_directories(home() + "/a/b/c");
  write_file(home() + "/a/b/c/deep", "x");
  write_file(home() + "/top", "y");
  fs::create_directory_symlink(outside_dir, home() + "/a/link-to-dir");
  fs::create_symlink(scratch_ / "outside-file", home() + "/a/b/link-to-file");
  fs::create_symlink(scratch_ / "missing", home() + "/dangling");
  ASSERT_EQ(::mkfifo((home() + "/fifo").c_str(), 0600), 0);

  expect_fresh_home(prepare());
  EXPECT_EQ(read_file(outside_dir + "/kept/file"), "precious");
  EXPECT_EQ(read_file(scratch_ / "outside-file"), "precious too");
}

TEST_F(HomeDirTest, RegularFileAtTheHomeIsRefusedAndKept) {
  ASSERT_TRUE(prepare().ok());
  fs::remove(home());
  write_file(home(), "someone's file");
  auto prepared = prepare();
  ASSERT_FALSE(prepared.ok());
  EXPECT_EQ(prepared.error(), "Failed to remove the existing temporary home directory");
  EXPECT_EQ(read_file(home()), "someone's file");
}

// A link at the home path is removed itself, never followed: its target keeps
// its content and its owner, and the home becomes a real directory.
TEST_F(HomeDirTest, LinkAtTheHomeIsReplacedAndItsTargetUntouched) {
  ASSERT_TRUE(prepare().ok());
  fs::remove(home());
  std::string target = scratch_ / "target";
  fs::create_directory(target);
  write_file(target + "/inside", "keep me");
  fs::create_directory_symlink(target, home());

  expect_fresh_home(prepare());
  EXPECT_EQ(read_file(target + "/inside"), "keep me");
  EXPECT_EQ(lstat_of(target).st_uid, ::geteuid());

  fs::remove(home());
  fs::create_symlink(scratch_ / "nowhere", home());
  expect_fresh_home(prepare());
  EXPECT_FALSE(fs::exists(scratch_ / "nowhere"));
}

}  // namespace
}  // namespace marrowfen::pool
