// The child list of a directory on its own: the inline list, the move to
// the heap with the name index, removals that leave markers, compaction,
// and the references it holds on its children.
#include "fs/directory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/inode.h"

namespace marrowfen::fs {
namespace {

INodeRef file_named(InodeId id, const std::string& name) { return INode::make(id, 0, 1, name, INodeType::File); }

struct Children {
  Directory dir;
  std::vector<INodeRef> nodes;  // by id - 1

  void add(size_t count) {
    for (size_t i = 0; i < count; ++i) {
      nodes.push_back(file_named(nodes.size() + 1, "child-" + std::to_string(nodes.size() + 1)));
      dir.reserve_one();
      dir.append(nodes.back());
    }
  }
  // The names found through the index (or the scan) for every node still listed.
  void expect_found(const std::vector<InodeId>& listed) const {
    EXPECT_EQ(dir.child_ids(), listed);
    for (InodeId id : listed) {
      const INode& node = *nodes[id - 1];
      if (dir.indexed()) {
        EXPECT_EQ(dir.find_indexed(node.name.view()), &node) << id;
      }
      EXPECT_TRUE(dir.contains(node)) << id;
    }
  }
};

TEST(Directory, GrowsOutOfItsInlineListAndFindsEveryChild) {
  Children c;
  c.add(Directory::kInline);
  EXPECT_FALSE(c.dir.indexed());
  std::vector<InodeId> listed;
  for (InodeId id = 1; id <= Directory::kInline; ++id) listed.push_back(id);
  c.expect_found(listed);
  c.add(100);  // the list moves to the heap with its index, then both double
  EXPECT_TRUE(c.dir.indexed());
  for (InodeId id = Directory::kInline + 1; id <= Directory::kInline + 100; ++id) listed.push_back(id);
  c.expect_found(listed);
  EXPECT_EQ(c.dir.find_indexed("child-1000"), nullptr);
  EXPECT_EQ(c.dir.size(), listed.size());
}

TEST(Directory, RemovalsKeepTheOrderAndTheIndexThroughCompaction) {
  Children c;
  c.add(64);
  std::vector<InodeId> listed;
  for (InodeId id = 1; id <= 64; ++id) listed.push_back(id);
  // Every third child, then the first ones, until more than half of the
  // list was vacant and it was compacted; lookups work throughout.
  for (size_t i = 0; i < 40; ++i) {
    size_t at = i < 20 ? (i * 2) % listed.size() : 0;
    ASSERT_TRUE(c.dir.erase(*c.nodes[listed[at] - 1]));
    EXPECT_FALSE(c.dir.erase(*c.nodes[listed[at] - 1])) << "erased twice";
    listed.erase(listed.begin() + static_cast<std::ptrdiff_t>(at));
    c.expect_found(listed);
  }
  // New children after the removals go to the end, and are found too.
  c.add(30);
  for (InodeId id = 65; id <= 94; ++id) listed.push_back(id);
  c.expect_found(listed);
}

TEST(Directory, ADirectoryThatOnlyChurnsKeepsItsOrder) {
  // One removed and one added, again and again: the slots of the removed
  // ones are dropped when the list fills up, not kept by growing.
  Children c;
  c.add(40);
  std::vector<InodeId> listed;
  for (InodeId id = 1; id <= 40; ++id) listed.push_back(id);
  for (int round = 0; round < 500; ++round) {
    size_t at = static_cast<size_t>(round * 7) % listed.size();
    ASSERT_TRUE(c.dir.erase(*c.nodes[listed[at] - 1]));
    listed.erase(listed.begin() + static_cast<std::ptrdiff_t>(at));
    c.add(1);
    listed.push_back(c.nodes.size());
  }
  c.expect_found(listed);
}

TEST(Directory, HoldsAReferenceOnEachChildUntilItLetsGo) {
  Directory dir;
  INodeRef child = file_named(1, "x");
  dir.reserve_one();
  dir.append(child);
  INode* raw = child.get();
  child.reset();  // the directory's reference keeps it alive (ASan sees a use after free otherwise)
  EXPECT_EQ(raw->name.view(), "x");
  Directory moved(std::move(dir));
  EXPECT_EQ(dir.size(), 0u);
  EXPECT_EQ(moved.child_ids(), std::vector<InodeId>{1});
  EXPECT_TRUE(moved.erase(*raw));  // lets go of the last reference
  EXPECT_TRUE(moved.empty());
}

}  // namespace
}  // namespace marrowfen::fs
