#include "pool/cleanup/tree_removal.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "base/unique_fd.h"
#include "test_support.h"

namespace marrowfen::pool {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

// The errno a removal failed with (0 when it did not).
int errno_of(const Result<void, Error>& removal) { return removal.ok() ? 0 : removal.error().os_error; }

// Lowers the descriptor limit for its lifetime.
class FdLimit {
 public:
  explicit FdLimit(rlim_t soft) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = soft;
    ::setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~FdLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_{};
};

// A chain of `depth` nested directories, each with a file, a link to
// `outside` and a link to the file outside it, built one descriptor at a time.
void build_deep_tree(const std::string& top, int depth, const std::string& outside) {
  ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
  UniqueFd dir(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (int i = 0; i < depth; ++i) {
    UniqueFd file(::openat(dir.get(), "file", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(file);
    ASSERT_EQ(::symlinkat(outside.c_str(), dir.get(), "to-outside"), 0);
    ASSERT_EQ(::symlinkat((outside + "/kept").c_str(), dir.get(), "to-kept"), 0);
    ASSERT_EQ(::mkdirat(dir.get(), "d", 0755), 0);
    dir.reset(::openat(dir.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir);
  }
}

TEST(RemoveTreeAt, RemovesATreeDeeperThanTheDescriptorLimitWithoutFollowingLinks) {
  ScratchDir scratch;
  std::string outside = scratch / "outside";
  fs::create_directory(outside);
  write_file(outside + "/kept", "still here");
  build_deep_tree(scratch / "tree", 100, outside);

  UniqueFd parent(::open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  bool removed = false;
  {
    FdLimit limit(32);
    removed = remove_tree_at(parent.get(), "tree").ok();
  }
  EXPECT_TRUE(removed);
  EXPECT_FALSE(fs::exists(scratch / "tree"));
  EXPECT_EQ(read_file(outside + "/kept"), "still here");
}

// A tree too big to remove in time is left partly removed, and a later
// removal finishes it.
TEST(RemoveTreeAt, StopsAtItsDeadline) {
  ScratchDir scratch;
  fs::create_directories(scratch / "tree/sub");
  for (int i = 0; i < 600; ++i) write_file(scratch / ("tree/sub/f" + std::to_string(i)), "x");
  UniqueFd parent(::open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  EXPECT_EQ(errno_of(remove_tree_at(parent.get(), "tree", std::chrono::steady_clock::now())), ETIMEDOUT);
  EXPECT_TRUE(fs::exists(scratch / "tree/sub"));
  EXPECT_TRUE(remove_tree_at(parent.get(), "tree").ok());
  EXPECT_FALSE(fs::exists(scratch / "tree"));
}

TEST(RemoveTreeAt, RefusesWhatIsNotADirectory) {
  ScratchDir scratch;
  std::string target = scratch / "target";
  fs::create_directory(target);
  write_file(target + "/kept", "x");
  fs::create_directory_symlink(target, scratch / "link");
  write_file(scratch / "file", "y");
  UniqueFd parent(::open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));

  EXPECT_EQ(errno_of(remove_tree_at(parent.get(), "link")), ENOTDIR);
  EXPECT_EQ(errno_of(remove_tree_at(parent.get(), "file")), ENOTDIR);
  EXPECT_EQ(errno_of(remove_tree_at(parent.get(), "missing")), ENOENT);
  EXPECT_EQ(read_file(target + "/kept"), "x");
}

}  // namespace
}  // namespace marrowfen::pool
