// The namespace: creation and its error precedence, path and name
// resolution, the depth limit, symlinks, listing and removal.
#include <string>
#include <vector>

#include "fs_test_support.h"

namespace fstest {
namespace {

using Names = std::vector<std::string>;

class Namespace : public ::testing::Test {
 protected:
  FsPtr fs = FileSystem::create();
};

TEST_F(Namespace, NewFilesystemHoldsOnlyTheRoot) {
  Listing root = MUST(fs->ls_raw(0));
  EXPECT_TRUE(root.files.empty());
  EXPECT_TRUE(root.directories.empty());
  EXPECT_EQ(MUST(fs->get_path_by_inode(0)), "/");
  EXPECT_EQ(fs->next_inode_id(), 1u);
  EXPECT_IO_ERR(fs->get_inode_raw(1), InodeNotFound);
}

TEST_F(Namespace, PathsResolveThroughEverySeparatorForm) {
  MUST(fs->mkdir("a"));
  MUST(fs->mkdir("/a/b"));
  MUST(fs->mkdir("a\\c"));
  InodeId a = path_id(*fs, "/a"), b = path_id(*fs, "/a/b"), c = path_id(*fs, "/a/c");
  EXPECT_EQ(MUST(fs->ls_raw(a)).directories, (Names{"b", "c"}));
  for (const char* p : {"a//b/", "/a/./b", "a/b/../b", "a\\b", "\\a\\\\b\\", "./a/b/.", "a/c/../b"})
    EXPECT_EQ(path_id(*fs, p), b) << p;
  for (const char* p : {"", "/", ".", "..", "/..", "../..", "a/..", "a/b/../../..", "\\"})
    EXPECT_EQ(path_id(*fs, p), 0u) << p;
  EXPECT_EQ(MUST(fs->get_path_by_inode(b)), "/a/b");
  EXPECT_EQ(MUST(fs->get_path_by_inode(c)), "/a/c");
  EXPECT_IO_ERR(fs->get_inode_by_path_raw("a/missing"), InodeNotFound);
  EXPECT_IO_ERR(fs->get_inode_by_path_raw("missing/.."), InodeNotFound);
  EXPECT_IO_ERR(fs->get_path_by_inode(99), InodeNotFound);
}

TEST_F(Namespace, WalkingUnderAFile) {
  MUST(fs->touch("f"));
  InodeId f = path_id(*fs, "/f");
  EXPECT_EQ(path_id(*fs, "f/.."), 0u);
  EXPECT_EQ(path_id(*fs, "f/."), f);
  EXPECT_IO_ERR(fs->get_inode_by_path_raw("f/x"), NotADirectory);
  EXPECT_IO_ERR(fs->mkdir("f/g"), NotADirectory);
  EXPECT_IO_ERR(fs->touch("f/g"), NotADirectory);
  EXPECT_EQ(MUST(fs->find_inode_by_name(f, ".")), f);
  EXPECT_EQ(MUST(fs->find_inode_by_name(f, "")), f);
  EXPECT_EQ(MUST(fs->find_inode_by_name(f, "..")), 0u);
  EXPECT_IO_ERR(fs->find_inode_by_name(f, "x"), NotADirectory);
  EXPECT_IO_ERR(fs->ls_raw(f), NotADirectory);
  EXPECT_TRUE(MUST(fs->is_file_raw(f)));
  EXPECT_FALSE(MUST(fs->is_directory_raw(f)));
  EXPECT_FALSE(MUST(fs->is_file_raw(0)));
  EXPECT_TRUE(MUST(fs->is_directory_raw(0)));
  EXPECT_IO_ERR(fs->is_file_raw(42), InodeNotFound);
  EXPECT_IO_ERR(fs->is_directory_raw(42), InodeNotFound);
  EXPECT_IO_ERR(fs->find_inode_by_name(42, "x"), InodeNotFound);
}

TEST_F(Namespace, InvalidNamesAreRefusedBeforeAnIdIsTaken) {
  for (const char* name : {"", ".", "..", "a/b", "a\\b", "/", "\\", "x/"}) {
    EXPECT_IO_ERR(fs->create_inode(0, name, new_file()), ResourceAlreadyExists) << name;
    EXPECT_IO_ERR(fs->create_inode(12345, name, new_file()), ResourceAlreadyExists) << name;
  }
  EXPECT_EQ(fs->next_inode_id(), 1u);
  EXPECT_TRUE(MUST(fs->ls_raw(0)).files.empty());
  // A trailing separator leaves an empty name; "/" names no new entry at all.
  MUST(fs->mkdir("/d"));
  EXPECT_IO_ERR(fs->mkdir("/d/"), ResourceAlreadyExists);
  EXPECT_IO_ERR(fs->mkdir("/"), ResourceAlreadyExists);
  EXPECT_IO_ERR(fs->touch("d\\"), ResourceAlreadyExists);
}

TEST_F(Namespace, FailedCreationsStillConsumeTheirIds) {
  MUST(fs->mkdir("/a"));
  EXPECT_EQ(fs->next_inode_id(), 2u);
  EXPECT_IO_ERR(fs->mkdir("/a"), ResourceAlreadyExists);
  EXPECT_IO_ERR(fs->touch("a"), ResourceAlreadyExists);
  EXPECT_IO_ERR(fs->create_inode(777, "x", new_file()), InodeNotFound);
  EXPECT_EQ(fs->next_inode_id(), 5u);
  // A missing parent path fails before create_inode, so no id is taken.
  EXPECT_IO_ERR(fs->mkdir("/nowhere/x"), InodeNotFound);
  EXPECT_EQ(fs->next_inode_id(), 5u);
  EXPECT_EQ(MUST(fs->create_inode(0, "b", new_directory())), 5u);
  MUST(fs->touch("/A"));  // names are case-sensitive
  EXPECT_EQ(MUST(fs->ls_raw(0)).files, (Names{"A"}));
}

// Builds /d/d/.../d with `levels` directories and returns the deepest id.
InodeId make_chain(FileSystem& fs, int levels) {
  InodeId id = 0;
  for (int i = 0; i < levels; ++i) id = MUST(fs.create_inode(id, "d", new_directory()));
  return id;
}

TEST_F(Namespace, DepthIsLimitedTo64Levels) {
  InodeId deepest = make_chain(*fs, 64);
  std::string path;
  for (int i = 0; i < 64; ++i) path += "/d";
  EXPECT_EQ(MUST(fs->get_path_by_inode(deepest)), path);
  EXPECT_EQ(path_id(*fs, path), deepest);
  EXPECT_IO_ERR(fs->mkdir(path + "/e"), MaxRecursionDepthExceeded);
  EXPECT_IO_ERR(fs->touch(path + "/e"), MaxRecursionDepthExceeded);
  EXPECT_TRUE(MUST(fs->ls_raw(deepest)).files.empty());
  // A file may sit at depth 64 as well.
  MUST(fs->touch(path.substr(0, path.size() - 2) + "/f"));
}

TEST_F(Namespace, CreateErrorPrecedence) {
  InodeId d63 = make_chain(*fs, 63);
  InodeId d64 = MUST(fs->create_inode(d63, "d", new_directory()));
  InodeId f64 = MUST(fs->create_inode(d63, "f", new_file()));

  // A file at the depth limit: the depth wins over "not a directory".
  EXPECT_IO_ERR(fs->create_inode(f64, "x", new_file()), MaxRecursionDepthExceeded);
  // A file below the limit: "not a directory".
  InodeId f1 = MUST(fs->create_inode(0, "f1", new_file()));
  EXPECT_IO_ERR(fs->create_inode(f1, "x", new_file()), NotADirectory);

  // An existing name wins over the depth limit. Nothing can be created at
  // depth 65, so put an existing entry into the deepest list directly.
  InodeId x = MUST(fs->create_inode(0, "x", new_file()));
  {
    INodeRef node = fs->lookup(d64);
    auto kind = node->write();
    kind.directory()->reserve_one();
    kind.directory()->append(fs->lookup(x));
  }
  EXPECT_IO_ERR(fs->create_inode(d64, "x", new_file()), ResourceAlreadyExists);
  EXPECT_IO_ERR(fs->create_inode(d64, "y", new_file()), MaxRecursionDepthExceeded);
}

TEST_F(Namespace, ListingKeepsCreationOrderAndSplitsByKind) {
  MUST(fs->touch("b"));
  MUST(fs->touch("a"));
  MUST(fs->mkdir("c"));
  Listing l = MUST(fs->ls_raw(0));
  EXPECT_EQ(l.files, (Names{"b", "a"}));
  EXPECT_EQ(l.directories, (Names{"c"}));
  EXPECT_IO_ERR(fs->ls_raw(99), InodeNotFound);
}

// Names are kept inline up to 15 bytes and on the heap beyond; both must
// come back byte for byte from listings, lookups and paths.
TEST_F(Namespace, NamesOfEveryLengthRoundTrip) {
  Names names = {std::string(15, 'a'), std::string(16, 'b'), std::string(300, 'c'), "\xc3\xa9t\xc3\xa9", "n"};
  for (const std::string& name : names) MUST(fs->touch("/" + name));
  EXPECT_EQ(MUST(fs->ls_raw(0)).files, names);
  for (const std::string& name : names) {
    InodeId id = MUST(fs->find_inode_by_name(0, name));
    EXPECT_EQ(MUST(fs->get_path_by_inode(id)), "/" + name);
  }
  EXPECT_IO_ERR(fs->find_inode_by_name(0, std::string(16, 'a')), InodeNotFound);
}

TEST_F(Namespace, LongPathsComeBackWhole) {
  // Paths longer than any buffer a reconstruction may start with, long
  // names near the root and near the leaf.
  std::string path;
  for (size_t len : {200, 3, 120, 90, 7, 250}) {
    path += "/" + std::string(len, static_cast<char>('a' + len % 26));
    MUST(fs->mkdir(path));
    EXPECT_EQ(MUST(fs->get_path_by_inode(path_id(*fs, path))), path);
  }
}

TEST_F(Namespace, LargeDirectoriesKeepOrderAndNamesThroughRemovals) {
  // More than the inline room for names and for child lists; removing most
  // entries again, from the middle and the ends.
  MUST(fs->mkdir("/big"));
  std::vector<std::pair<std::string, InodeId>> expected;
  for (int i = 0; i < 40; ++i) {
    std::string name = "a-rather-long-name-number-" + std::to_string(i);
    InodeId id = MUST(fs->create_inode(path_id(*fs, "/big"), name, i % 4 ? new_file() : new_directory()));
    expected.emplace_back(name, id);
  }
  auto check = [&] {
    Names files, dirs;
    for (const auto& [name, id] : expected) {
      EXPECT_EQ(path_id(*fs, "/big/" + name), id) << name;
      EXPECT_EQ(MUST(fs->get_path_by_inode(id)), "/big/" + name);
      (MUST(fs->is_directory_raw(id)) ? dirs : files).push_back(name);
    }
    Listing l = MUST(fs->ls_raw(path_id(*fs, "/big")));
    EXPECT_EQ(l.files, files);
    EXPECT_EQ(l.directories, dirs);
  };
  check();
  for (int i = 39; i >= 0; --i) {
    if (i % 3 == 0 || i == 39) continue;
    MUST(fs->rm("/big/" + expected[i].first, false));
    EXPECT_IO_ERR(fs->get_inode_by_path_raw("/big/" + expected[i].first), InodeNotFound);
    expected.erase(expected.begin() + i);
  }
  check();
  std::string again = "a-rather-long-name-number-5";
  expected.emplace_back(again, MUST(fs->create_inode(path_id(*fs, "/big"), again, new_file())));
  EXPECT_IO_ERR(fs->create_inode(path_id(*fs, "/big"), expected[0].first, new_file()), ResourceAlreadyExists);
  check();
  while (!expected.empty()) {
    MUST(fs->rm("/big/" + expected.back().first, false));
    expected.pop_back();
  }
  check();
  MUST(fs->rm("/big", false));
}

TEST_F(Namespace, RemovalOfFilesAndDirectories) {
  MUST(fs->mkdir("/d"));
  MUST(fs->mkdir("/d/e"));
  MUST(fs->touch("/d/e/f"));
  MUST(fs->touch("/d/g"));
  InodeId d = path_id(*fs, "/d");
  InodeId f = path_id(*fs, "/d/e/f");

  EXPECT_IO_ERR(fs->rm("/d", false), DirectoryIsNotEmpty);
  EXPECT_EQ(path_id(*fs, "/d/e/f"), f);
  EXPECT_IO_ERR(fs->rm("/missing", true), InodeNotFound);

  MUST(fs->rm("/d/g", true));  // `recursive` is ignored for a file
  EXPECT_IO_ERR(fs->get_inode_by_path_raw("/d/g"), InodeNotFound);
  MUST(fs->rm("/d", true));
  Listing root = MUST(fs->ls_raw(0));
  EXPECT_TRUE(root.files.empty() && root.directories.empty());
  for (InodeId gone : {d, f}) EXPECT_IO_ERR(fs->get_inode_raw(gone), InodeNotFound) << gone;

  // An empty directory goes without `recursive`; ids are never reused and
  // names can be created again.
  uint64_t next = fs->next_inode_id();
  MUST(fs->mkdir("/d"));
  EXPECT_EQ(path_id(*fs, "/d"), next);
  MUST(fs->rm_raw(next, false));
  MUST(fs->touch("/d"));
  EXPECT_EQ(path_id(*fs, "/d"), next + 1);
}

TEST_F(Namespace, RecursiveRemovalKeepsWhatItRemovedBeforeAFailure) {
  MUST(fs->mkdir("/d"));
  MUST(fs->touch("/d/a"));
  MUST(fs->touch("/d/busy"));
  MUST(fs->mkdir("/d/z"));
  {
    FileHandle h = MUST(FileSystem::open(fs, "/d/busy", mode("r"), false));
    EXPECT_IO_ERR(fs->rm("/d", true), ResourceCurrentInUse);
    Listing left = MUST(fs->ls_raw(path_id(*fs, "/d")));
    EXPECT_EQ(left.files, (Names{"busy"}));
    EXPECT_EQ(left.directories, (Names{"z"}));
    EXPECT_IO_ERR(fs->rm("/d/busy", false), ResourceCurrentInUse);
  }
  MUST(fs->rm("/d", true));
  EXPECT_IO_ERR(fs->get_inode_by_path_raw("/d"), InodeNotFound);
}

TEST_F(Namespace, TheRootCannotBeRemoved) {
  MUST(fs->mkdir("/a"));
  MUST(fs->touch("/a/f"));
  MUST(fs->touch("/g"));
  for (bool recursive : {false, true}) {
    for (const char* path : {"/", "", "a/..", "\\"})
      EXPECT_IO_ERR(fs->rm(path, recursive), ResourceCurrentInUse) << path << recursive;
    EXPECT_IO_ERR(fs->rm_raw(0, recursive), ResourceCurrentInUse);
  }
  Listing root = MUST(fs->ls_raw(0));
  EXPECT_EQ(root.files, (Names{"g"}));
  EXPECT_EQ(root.directories, (Names{"a"}));
  EXPECT_EQ(MUST(fs->ls_raw(path_id(*fs, "a"))).files, (Names{"f"}));
}

class Symlinks : public Namespace {
 protected:
  InodeId link(InodeId parent, const std::string& name, InodeId target) {
    return MUST(fs->create_inode(parent, name, Symlink{target}));
  }
};

TEST_F(Symlinks, ResolveToTheirTarget) {
  MUST(fs->mkdir("/dir"));
  MUST(fs->touch("/dir/x"));
  InodeId dir = path_id(*fs, "/dir"), x = path_id(*fs, "/dir/x");
  InodeId to_dir = link(0, "to_dir", dir);
  InodeId to_to_dir = link(0, "to_to_dir", to_dir);
  EXPECT_EQ(MUST(fs->get_inode_raw(to_dir)), dir);
  EXPECT_EQ(MUST(fs->get_inode_raw(to_to_dir)), dir);
  EXPECT_EQ(MUST(fs->find_inode_by_name(to_to_dir, "x")), x);
  EXPECT_TRUE(MUST(fs->is_directory_raw(to_dir)));
  // Creating through a link puts the entry into the target directory.
  InodeId y = MUST(fs->create_inode(to_dir, "y", new_file()));
  EXPECT_EQ(MUST(fs->ls_raw(dir)).files, (Names{"x", "y"}));
  EXPECT_EQ(MUST(fs->ls_raw(to_dir)).files, (Names{"x", "y"}));
  EXPECT_EQ(MUST(fs->get_path_by_inode(y)), "/dir/y");

  InodeId to_x = link(0, "to_x", x);
  EXPECT_TRUE(MUST(fs->is_file_raw(to_x)));
  FileHandle h = MUST(FileSystem::open_raw(fs, to_x, mode("w")));
  EXPECT_EQ(flag_of(*fs, x), -1);
  EXPECT_IO_ERR(FileSystem::open_raw(fs, to_dir, mode("r")), NotAFile);

  InodeId dangling = link(0, "dangling", 9999);
  EXPECT_IO_ERR(fs->get_inode_raw(dangling), InodeNotFound);
}

TEST_F(Symlinks, RemovingALinkLeavesItsTarget) {
  MUST(fs->mkdir("/dir"));
  MUST(fs->touch("/dir/x"));
  InodeId x = path_id(*fs, "/dir/x");
  InodeId ln = link(0, "ln", x);
  MUST(fs->rm_raw(ln, false));
  EXPECT_IO_ERR(fs->get_inode_raw(ln), InodeNotFound);
  // The target is still listed, unclaimed, and can be opened and removed.
  EXPECT_EQ(MUST(fs->ls_raw(path_id(*fs, "/dir"))).files, (Names{"x"}));
  EXPECT_EQ(flag_of(*fs, x), 0);
  EXPECT_TRUE(FileSystem::open_raw(fs, x, mode("w")).ok());
  EXPECT_EQ(MUST(fs->ls_raw(0)).directories, (Names{"dir"}));
  auto root = fs->lookup(0);
  EXPECT_EQ(root->read().directory()->size(), 1u) << "the root still lists the removed link";
  MUST(fs->rm("/dir", true));
}

TEST_F(Symlinks, AHandleOpenedThroughALinkOutlivesTheLink) {
  MUST(fs->touch("/x"));
  MUST(fs->mkdir("/dir"));
  InodeId x = path_id(*fs, "/x");
  InodeId ln = link(path_id(*fs, "/dir"), "ln", x);
  {
    // Opened through the link (found by its target's name), the handle is
    // the link's: its id is the link's, the lock word it holds the file's.
    FileHandle h = MUST(FileSystem::open(fs, "/dir/x", mode("rw"), false));
    EXPECT_EQ(h.id(), std::optional<InodeId>(ln));
    MUST(fs->rm_raw(ln, false));
    std::array<uint8_t, 2> bytes = {'h', 'i'};
    EXPECT_EQ(MUST(h.write(bytes)), 2u);
    EXPECT_IO_ERR(fs->rm("/x", false), ResourceCurrentInUse);
    MUST(h.close());
  }
  EXPECT_EQ(file_bytes(*fs, x), "hi");
  EXPECT_EQ(flag_of(*fs, x), 0);
  MUST(fs->rm("/x", false));
}

TEST_F(Symlinks, LargeDirectoriesHoldingLinksAreSearchedByWhatTheLinksStandFor) {
  MUST(fs->mkdir("/big"));
  InodeId big = path_id(*fs, "/big");
  for (int i = 0; i < 20; ++i) MUST(fs->touch("/big/f" + std::to_string(i)));
  MUST(fs->touch("/target"));
  // A link is found by its target's name, so a second entry may bear the
  // link's own name: two children named "ln".
  InodeId first = link(big, "ln", path_id(*fs, "/target"));
  EXPECT_EQ(MUST(fs->find_inode_by_name(big, "target")), first);
  EXPECT_IO_ERR(fs->create_inode(big, "target", new_file()), ResourceAlreadyExists);
  InodeId second = link(big, "ln", path_id(*fs, "/big/f3"));
  EXPECT_EQ(MUST(fs->find_inode_by_name(big, "f3")), path_id(*fs, "/big/f3"));
  for (int i = 0; i < 20; i += 2) MUST(fs->rm("/big/f" + std::to_string(i), false));
  MUST(fs->rm_raw(second, false));
  MUST(fs->rm_raw(first, false));
  Listing l = MUST(fs->ls_raw(big));
  EXPECT_EQ(l.files.size(), 10u);
  EXPECT_EQ(l.files.front(), "f1");
  EXPECT_EQ(MUST(fs->find_inode_by_name(big, "f19")), path_id(*fs, "/big/f19"));
  EXPECT_EQ(MUST(fs->ls_raw(0)).files, (Names{"target"}));
}

TEST_F(Symlinks, LoopsFailWithMaxRecursionDepth) {
  InodeId self = fs->next_inode_id();
  EXPECT_EQ(link(0, "self", self), self);
  EXPECT_IO_ERR(fs->get_inode_raw(self), MaxRecursionDepthExceeded);
  EXPECT_IO_ERR(fs->find_inode_by_name(self, "x"), MaxRecursionDepthExceeded);

  InodeId a = fs->next_inode_id();
  link(0, "a", a + 1);
  link(0, "b", a);
  EXPECT_IO_ERR(fs->get_inode_raw(a), MaxRecursionDepthExceeded);
  EXPECT_IO_ERR(fs->get_inode_raw(a + 1), MaxRecursionDepthExceeded);
  EXPECT_IO_ERR(fs->create_inode(a, "x", new_file()), MaxRecursionDepthExceeded);
}

TEST_F(Symlinks, ChainsAreFollowedFor40Hops) {
  MUST(fs->touch("/target"));
  InodeId head = path_id(*fs, "/target");
  for (int hop = 1; hop <= 40; ++hop) head = link(0, "l" + std::to_string(hop), head);
  EXPECT_EQ(MUST(fs->get_inode_raw(head)), path_id(*fs, "/target"));
  InodeId longer = link(0, "l41", head);
  EXPECT_IO_ERR(fs->get_inode_raw(longer), MaxRecursionDepthExceeded);
  EXPECT_IO_ERR(FileSystem::open_raw(fs, longer, mode("r")), MaxRecursionDepthExceeded);
}

}  // namespace
}  // namespace fstest
