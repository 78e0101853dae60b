#include "pool/account/subordinate_ids.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace marrowfen::pool {
namespace {

using testing::PathOverride;
using testing::ScratchDir;
using testing::Shims;
using testing::write_file;

TEST(SubordinateIds, RangesOfTheAccountByNameOrUid) {
  std::string text =
      "test_a:100000:65536\n"
      "test_ab:165536:65536\n"
      "1001:231072:10\n"
      "test_a:bad:1\n"
      "test_a:300000\n"
      "test_a:400000:0";
  auto ranges = ranges_of(text, "test_a", 1001);
  ASSERT_EQ(ranges.size(), 3u);
  EXPECT_EQ(ranges[0].owner, "test_a");
  EXPECT_EQ(ranges[0].first, 100000u);
  EXPECT_EQ(ranges[0].count, 65536u);
  EXPECT_EQ(ranges[1].owner, "1001");
  EXPECT_EQ(ranges[2].count, 0u);
  EXPECT_TRUE(ranges_of(text, "test_c", 1002).empty());
}

// usermod is asked to remove each range, and what it leaves is an error; no
// range, no command.
TEST(SubordinateIds, RemovedWithUsermodAndCheckedAfter) {
  ScratchDir scratch;
  SubordinateIdFiles files{scratch / "subuid", scratch / "subgid"};
  Shims shims;
  // A usermod that removes the named lines only, as shadow's does.
  shims.add("usermod", "name=$(eval echo \\${$#}); for f in " + files.subuid + " " + files.subgid +
                           "; do grep -v \"^$name:\" $f > $f.new; mv $f.new $f; done");
  PathOverride path(shims);

  write_file(files.subuid, "test_a:100000:65536\nother:1:2\n");
  write_file(files.subgid, "test_a:100000:65536\n");
  EXPECT_TRUE(remove_subordinate_ids("test_a", 1001, files).ok());
  EXPECT_EQ(shims.calls("usermod"),
            std::vector<std::string>{"--del-subuids 100000-165535 --del-subgids 100000-165535 test_a"});
  EXPECT_EQ(testing::read_file(files.subuid), "other:1:2\n");

  EXPECT_TRUE(remove_subordinate_ids("test_a", 1001, files).ok());
  EXPECT_EQ(shims.calls("usermod").size(), 1u);

  write_file(files.subuid, "1001:5:5\n");
  auto left = remove_subordinate_ids("test_a", 1001, files);
  ASSERT_FALSE(left.ok());
  EXPECT_EQ(left.error(), files.subuid + " still gives it a range");
}

}  // namespace
}  // namespace marrowfen::pool
