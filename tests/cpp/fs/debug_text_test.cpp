// The debug texts of a filesystem and of a handle, and the tree rendering.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "base/panic.h"
#include "fs/debug_text.h"
#include "fs/tree.h"
#include "fs_test_support.h"

namespace fstest {
namespace {

constexpr const char* kRootEntry =
    "0: INode { id: 0, parent: 0, depth: 0, name: \"\", data: RwLock { data: Directory { children: [] }, "
    "poisoned: false, .. } }";

// The inode table's order is unspecified: the text must be the frame around
// exactly these entries, in some order, separated by ", ".
void expect_debug_text(const std::string& text, const std::vector<std::string>& entries, uint64_t next_id) {
  const std::string head = "FileSystem { inodes: {";
  const std::string tail = "}, next_inode_id: " + std::to_string(next_id) + " }";
  ASSERT_EQ(text.substr(0, head.size()), head) << text;
  ASSERT_GE(text.size(), head.size() + tail.size()) << text;
  ASSERT_EQ(text.substr(text.size() - tail.size()), tail) << text;
  std::string middle = text.substr(head.size(), text.size() - head.size() - tail.size());
  size_t total = entries.empty() ? 0 : 2 * (entries.size() - 1);
  for (const std::string& e : entries) {
    total += e.size();
    EXPECT_NE(middle.find(e), std::string::npos) << "missing entry " << e << "\nin " << text;
  }
  EXPECT_EQ(middle.size(), total) << text;
}

TEST(DebugText, NewFilesystem) {
  EXPECT_EQ(FileSystem::create()->debug_string(),
            std::string("FileSystem { inodes: {") + kRootEntry + "}, next_inode_id: 1 }");
}

TEST(DebugText, EveryKindAndLockState) {
  FsPtr fs = FileSystem::create();
  MUST(fs->mkdir("/docs"));                                  // 1
  MUST(fs->touch("/docs/hi"));                               // 2
  MUST(fs->create_inode(0, "ln", Symlink{5}));               // 3
  EXPECT_IO_ERR(fs->mkdir("/docs"), ResourceAlreadyExists);  // 4 is used up
  FileHandle w = MUST(FileSystem::open(fs, "/docs/hi", mode("w"), false));
  MUST(w.write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("hi"), 2)));

  auto file_entry = [](int flag) {
    return "2: INode { id: 2, parent: 1, depth: 2, name: \"hi\", data: RwLock { data: File { data: FileData "
           "{ data: [104, 105] }, lock: FileLock { flag: " +
           std::to_string(flag) + " } }, poisoned: false, .. } }";
  };
  std::vector<std::string> entries = {
      "0: INode { id: 0, parent: 0, depth: 0, name: \"\", data: RwLock { data: Directory { children: [1, 3] "
      "}, poisoned: false, .. } }",
      "1: INode { id: 1, parent: 0, depth: 1, name: \"docs\", data: RwLock { data: Directory { children: "
      "[2] }, poisoned: false, .. } }",
      file_entry(-1),
      "3: INode { id: 3, parent: 0, depth: 1, name: \"ln\", data: RwLock { data: Symlink { target: 5 }, "
      "poisoned: false, .. } }",
  };
  expect_debug_text(fs->debug_string(), entries, 5);

  MUST(w.close());
  FileHandle r1 = MUST(FileSystem::open_raw(fs, 2, mode("r")));
  FileHandle r2 = MUST(FileSystem::open_raw(fs, 2, mode("")));
  entries[2] = file_entry(2);
  expect_debug_text(fs->debug_string(), entries, 5);
  MUST(r1.close());
  MUST(r2.close());
  set_flag(*fs, 2, FileLock::REMOVING);
  entries[2] = file_entry(-2);
  expect_debug_text(fs->debug_string(), entries, 5);
  set_flag(*fs, 2, FileLock::UNLOCKED);
  entries[2] = file_entry(0);
  expect_debug_text(fs->debug_string(), entries, 5);
}

struct QuoteCase {
  std::string raw;
  std::string quoted;
};

class Quoting : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(Quoting, EscapesQuotesBackslashesAndControls) {
  std::string out;
  append_debug_quoted(out, GetParam().raw);
  EXPECT_EQ(out, GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(Names, Quoting,
                         ::testing::Values(QuoteCase{"plain", "\"plain\""}, QuoteCase{"", "\"\""},
                                           QuoteCase{"a\"b", "\"a\\\"b\""}, QuoteCase{"a\\b", "\"a\\\\b\""},
                                           QuoteCase{"it's", "\"it's\""}, QuoteCase{"n\nr\rt\t", "\"n\\nr\\rt\\t\""},
                                           QuoteCase{std::string("z\0z", 3), "\"z\\0z\""},
                                           QuoteCase{"\x01", "\"\\u{1}\""}, QuoteCase{"\x1b[0m", "\"\\u{1b}[0m\""},
                                           QuoteCase{"\x7f", "\"\\u{7f}\""}, QuoteCase{"\xc2\x85", "\"\\u{85}\""},
                                           QuoteCase{"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""}));

TEST(DebugText, NamesAreEscapedInTheTree) {
  FsPtr fs = FileSystem::create();
  InodeId id = MUST(fs->create_inode(0, std::string("q\"\t\x01\0", 5), new_directory()));
  std::string text = fs->debug_string();
  EXPECT_NE(text.find("name: \"q\\\"\\t\\u{1}\\0\", "), std::string::npos) << text;
  EXPECT_EQ(MUST(fs->ls_raw(0)).directories.at(0), std::string("q\"\t\x01\0", 5));
  EXPECT_EQ(MUST(fs->get_path_by_inode(id)), std::string("/q\"\t\x01\0", 6));
}

TEST(DebugText, LockedWhileAnotherThreadWrites) {
  FsPtr fs = FileSystem::create();
  MUST(fs->mkdir("/held"));
  std::atomic<bool> holding{false}, done{false};
  auto holder = std::async(std::launch::async, [&] {
    INodeRef node = fs->lookup(1);
    auto guard = node->write();
    holding = true;
    while (!done) std::this_thread::yield();
  });
  while (!holding) std::this_thread::yield();
  std::string text = fs->debug_string();
  done = true;
  join_bounded(holder);
  EXPECT_NE(text.find("name: \"held\", data: RwLock { data: <locked>, poisoned: false, .. } }"), std::string::npos)
      << text;
  EXPECT_NE(text.find("Directory { children: [1] }"), std::string::npos) << text;
  EXPECT_EQ(fs->debug_string().find("<locked>"), std::string::npos);
}

TEST(DebugText, APoisonedInodeLockShowsAndRefusesFurtherUse) {
  FsPtr fs = FileSystem::create();
  MUST(fs->mkdir("/a"));
  MUST(fs->mkdir("/p"));
  try {
    INodeRef node = fs->lookup(2);
    auto guard = node->write();
    marrowfen::panic("broken invariant");
  } catch (const marrowfen::Panic&) {
  }
  EXPECT_NE(fs->debug_string().find("name: \"p\", data: RwLock { data: Directory { children: [] }, "
                                    "poisoned: true, .. } }"),
            std::string::npos);
  for (auto use : {+[](FileSystem& f) { (void)f.ls_raw(2); }, +[](FileSystem& f) { (void)f.touch("/p/x"); },
                   +[](FileSystem& f) { (void)f.get_inode_by_path_raw("/p"); }}) {
    try {
      use(*fs);
      ADD_FAILURE() << "using a poisoned inode did not fail";
    } catch (const marrowfen::Panic& p) {
      EXPECT_EQ(p.message(), "called `Result::unwrap()` on an `Err` value: PoisonError { .. }");
    }
  }
  // Entries found before the poisoned one are still reachable.
  EXPECT_EQ(path_id(*fs, "/a"), 1u);
}

TEST(DebugText, FileHandle) {
  FsPtr fs = FileSystem::create();
  MUST(fs->touch("/f"));
  struct Case {
    const char* mode;
    const char* type;
  };
  for (Case c : {Case{"w", "FileHandleType(WRITE)"}, Case{"rw", "FileHandleType(READ | WRITE)"},
                 Case{"wr", "FileHandleType(READ | WRITE)"}, Case{"r", "FileHandleType(READ)"},
                 Case{"", "FileHandleType(0x0)"}}) {
    FileHandle h = MUST(FileSystem::open_raw(fs, 1, mode(c.mode)));
    if (h.type().can_write()) MUST(h.write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("abc"), 3)));
    MUST(h.seek(SeekOrigin::End, 1));
    EXPECT_EQ(h.debug_string(), std::string("FileHandle { id: Some(1), type: ") + c.type +
                                    ", fs: " + fs->debug_string() + ", offset: 2 }")
        << c.mode;
    MUST(h.close());
    EXPECT_EQ(h.debug_string(),
              std::string("FileHandle { id: None, type: ") + c.type + ", fs: " + fs->debug_string() + ", offset: 2 }");
  }
}

class Tree : public ::testing::Test {
 protected:
  void SetUp() override {
    MUST(fs->mkdir("/docs"));
    MUST(fs->mkdir("/docs/sub"));
    MUST(fs->touch("/docs/sub/b"));
    MUST(fs->touch("/docs/a.txt"));
    MUST(fs->touch("/top.txt"));
    MUST(fs->mkdir("/empty"));
  }
  FsPtr fs = FileSystem::create();
};

TEST_F(Tree, DirectoriesFirstThenFilesIndentedByLevel) {
  EXPECT_EQ(MUST(render_tree(*fs, "/", "")), "docs/\n  sub/\n    b\n  a.txt\nempty/\ntop.txt\n");
  EXPECT_EQ(MUST(render_tree(*fs, "/", "> ")), "> docs/\n>   sub/\n>     b\n>   a.txt\n> empty/\n> top.txt\n");
  EXPECT_EQ(MUST(render_tree(*fs, "docs/", "")), "sub/\n  b\na.txt\n");
  EXPECT_EQ(MUST(render_tree(*fs, "\\docs\\sub", "")), "b\n");
  EXPECT_EQ(MUST(render_tree(*fs, "/empty", "")), "");
}

TEST_F(Tree, FailuresFailTheWholeRendering) {
  EXPECT_IO_ERR(render_tree(*fs, "/nowhere", ""), InodeNotFound);
  EXPECT_IO_ERR(render_tree(*fs, "/top.txt", ""), NotADirectory);
}

}  // namespace
}  // namespace fstest
