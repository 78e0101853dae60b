// The allocation-failure sweep. Every operation of a representative script
// is run again and again with its first, second, third ... allocation
// failing, until a run no longer meets the armed failure. After each failure
// the operation must have thrown std::bad_alloc and left everything as it
// was: the filesystem's debug text (up to the one id a creation uses up),
// every handle's id and offset, the terminal's directory; no lock may be
// poisoned, and the tree must still hold together for the public
// operations. The same operation is then tried again at the next point, and
// its final result is checked. A removal may instead absorb a failure (it
// compacts a directory only when it can get the room); it must then have
// done its work all the same.
//
// The checks use nothing but the public operations and the debug text, so
// they hold whatever the inodes look like inside.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "failing_allocator.h"
#include "fs/file_handle.h"
#include "fs/tree.h"
#include "terminal/simple_terminal.h"

namespace {

using namespace marrowfen;
using fs::FileHandle;
using fs::FileSystem;
using fs::InodeId;
using terminal::CommandResult;
using terminal::SimpleTerminal;

struct World {
  std::shared_ptr<FileSystem> fs = FileSystem::create();
  // Behind poisonable locks, as the Python objects keep them.
  Mutex<SimpleTerminal> term{fs};
  std::map<std::string, std::unique_ptr<Mutex<FileHandle>>> handles;

  Mutex<FileHandle>& handle(const std::string& name) { return *handles.at(name); }
  InodeId id(std::string_view path) const { return fs->get_inode_by_path_raw(path).value(); }
};

// What an operation that failed must leave unchanged.
struct Snapshot {
  std::string fs_text;  // without its last field, the next id
  uint64_t next_id = 0;
  std::vector<std::tuple<std::string, std::optional<InodeId>, size_t>> handles;
  InodeId cwd = 0;
};

Snapshot take(World& w) {
  Snapshot s;
  s.fs_text = w.fs->debug_string();
  s.fs_text.resize(s.fs_text.rfind(", next_inode_id: "));
  s.next_id = w.fs->next_inode_id();
  for (auto& [name, handle] : w.handles) {
    auto h = handle->lock();
    s.handles.emplace_back(name, h->id(), h->offset());
  }
  s.cwd = w.term.lock()->context().cwd;
  return s;
}

size_t count(std::string_view text, std::string_view needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// The tree as the public operations show it, checked against itself and
// against its debug text `text`; the first problem, or "".
std::string tree_problem(const FileSystem& fs, std::string_view text) {
  if (text.find("poisoned: true") != std::string::npos) return "a poisoned inode lock: " + std::string(text);
  if (text.find("<locked>") != std::string::npos) return "an inode lock still held: " + std::string(text);
  size_t reached = 1;  // the root
  std::vector<std::string> dirs = {""};
  while (!dirs.empty()) {
    std::string dir = std::move(dirs.back());
    dirs.pop_back();
    auto dir_id = fs.get_inode_by_path_raw(dir.empty() ? "/" : dir);
    if (!dir_id.ok()) return "cannot resolve " + dir;
    auto listing = fs.ls_raw(dir_id.value());
    if (!listing.ok()) return "cannot list " + dir;
    std::set<std::string> names;
    for (int is_dir = 0; is_dir < 2; ++is_dir) {
      for (const std::string& name : is_dir ? listing.value().directories : listing.value().files) {
        if (!names.insert(name).second) return "two entries named " + name + " in " + dir;
        std::string path = dir + "/" + name;
        auto id = fs.get_inode_by_path_raw(path);
        if (!id.ok()) return "cannot resolve " + path;
        auto back = fs.get_path_by_inode(id.value());
        if (!back.ok() || back.value() != path) return "the path of " + path + " reads back otherwise";
        auto kind = fs.is_directory_raw(id.value());
        if (!kind.ok() || kind.value() != bool(is_dir)) return "the kind of " + path + " disagrees";
        ++reached;
        if (is_dir) dirs.push_back(std::move(path));
      }
    }
  }
  size_t entries = count(text, ": INode { id: ");
  if (reached != entries)
    return std::to_string(entries) + " inodes in the debug text, " + std::to_string(reached) + " in the tree";
  return "";
}

// Checks what `s`, just taken, shows of the world.
void check_world(World& w, const Snapshot& s) {
  EXPECT_FALSE(w.term.is_poisoned());
  for (auto& [name, handle] : w.handles) EXPECT_FALSE(handle->is_poisoned()) << name;
  EXPECT_EQ(tree_problem(*w.fs, s.fs_text), "");
}

enum class Effect {
  kNone,
  kCreates,  // a failure may use up one id
  kRemoves,  // a failure may be absorbed (removals, and shortening a file)
};

struct Tally {
  size_t operations = 0;
  size_t failure_points = 0;
  size_t absorbed = 0;
};

// Sweeps one operation: `op(world)` does it and returns its result, with
// nothing else that allocates; `check(world, result)` looks at the final
// result once no failure is armed.
template <class Op, class Check>
void sweep(World& w, Tally& tally, const std::string& name, Effect effect, Op op, Check check) {
  SCOPED_TRACE(name);
  ++tally.operations;
  Snapshot before = take(w);
  for (uint64_t n = 1;; ++n) {
    std::optional<decltype(op(w))> result;
    alloc_failure::fail_nth_allocation(n);
    try {
      result.emplace(op(w));
    } catch (const std::bad_alloc&) {
    }
    bool injected = alloc_failure::disarm();
    if (injected) ++tally.failure_points;
    if (!result) {
      ASSERT_TRUE(injected) << "std::bad_alloc without a failed allocation";
      Snapshot after = take(w);
      EXPECT_EQ(after.fs_text, before.fs_text) << "allocation " << n;
      EXPECT_LE(after.next_id - before.next_id, effect == Effect::kCreates ? 1u : 0u) << "allocation " << n;
      EXPECT_EQ(after.handles, before.handles) << "allocation " << n;
      EXPECT_EQ(after.cwd, before.cwd) << "allocation " << n;
      check_world(w, after);
      if (::testing::Test::HasFailure()) return;
      before = std::move(after);
      continue;
    }
    if (injected) {
      ASSERT_EQ(effect, Effect::kRemoves) << "the failure of allocation " << n << " was swallowed";
      ++tally.absorbed;
    }
    check(w, *result);
    check_world(w, take(w));
    return;
  }
}

void report(const char* what, const Tally& tally) {
  std::cout << "allocation-failure sweep (" << what << "): " << tally.failure_points << " failure points in "
            << tally.operations << " operations";
  if (tally.absorbed) std::cout << ", " << tally.absorbed << " absorbed by removals";
  std::cout << std::endl;
  ::testing::Test::RecordProperty("failure_points", std::to_string(tally.failure_points));
}

// Operations and their expected results.
auto mkdir(std::string path) {
  return [path](World& w) { return w.fs->mkdir(path); };
}
auto touch(std::string path) {
  return [path](World& w) { return w.fs->touch(path); };
}
auto rm(std::string path, bool recursive) {
  return [path, recursive](World& w) { return w.fs->rm(path, recursive); };
}
void succeeded(World&, const fs::IoStatus& r) { EXPECT_TRUE(r.ok()) << r.error().debug(); }

std::span<const uint8_t> as_bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Creates `count` children of `dir` (mkdir and touch by turns, every third
// name long enough to be kept on the heap), swept or not.
void fill(World& w, Tally& tally, const std::string& dir, int from, int count, bool swept) {
  for (int i = from; i < from + count; ++i) {
    std::string path = dir + "/" + (i % 3 == 0 ? "a-name-longer-than-fifteen-" : "n") + std::to_string(i);
    bool as_dir = i % 2 == 0;
    if (!swept) {
      ASSERT_TRUE((as_dir ? w.fs->mkdir(path) : w.fs->touch(path)).ok()) << path;
    } else if (as_dir) {
      sweep(w, tally, "mkdir " + path, Effect::kCreates, mkdir(path), succeeded);
    } else {
      sweep(w, tally, "touch " + path, Effect::kCreates, touch(path), succeeded);
    }
    if (::testing::Test::HasFailure()) return;
  }
}

size_t children_of(World& w, std::string_view dir) {
  auto listing = w.fs->ls_raw(w.id(dir)).value();
  return listing.files.size() + listing.directories.size();
}

TEST(AllocationFailure, FilesystemOperations) {
  World w;
  Tally tally;
  sweep(w, tally, "mkdir /a", Effect::kCreates, mkdir("/a"), succeeded);
  sweep(w, tally, "mkdir /big", Effect::kCreates, mkdir("/big"), succeeded);
  sweep(w, tally, "mkdir /a/sub", Effect::kCreates, mkdir("/a/sub"), succeeded);
  sweep(w, tally, "touch /a/sub/f", Effect::kCreates, touch("/a/sub/f"), succeeded);
  // /a across its growth points: the inline list, the list on the heap with
  // its index (made at the 8th child), both doubling at the 17th and the
  // 33rd; names past 12 bytes on the heap.
  ASSERT_NO_FATAL_FAILURE(fill(w, tally, "/a", 1, 40, true));
  sweep(w, tally, "mkdir /a/n1 again", Effect::kCreates, mkdir("/a/n1"),
        [](World&, const fs::IoStatus& r) { EXPECT_EQ(r.error().kind(), fs::IoError::Kind::ResourceAlreadyExists); });

  // /big across the first id of the inode table's second chunks (16384),
  // then across 16384 children, where its list and its index both grow.
  ASSERT_NO_FATAL_FAILURE(fill(w, tally, "/big", 0, int(16381 - w.fs->next_inode_id()), false));
  ASSERT_NO_FATAL_FAILURE(fill(w, tally, "/big", 100000, 8, true));
  EXPECT_GT(w.fs->next_inode_id(), 16400u);
  ASSERT_NO_FATAL_FAILURE(fill(w, tally, "/big", 200000, int(16383 - children_of(w, "/big")), false));
  ASSERT_NO_FATAL_FAILURE(fill(w, tally, "/big", 300000, 4, true));  // the 16385th grows both
  EXPECT_EQ(children_of(w, "/big"), 16387u);

  // Reading operations change nothing, fail or not.
  sweep(
      w, tally, "ls_raw /a", Effect::kNone, [](World& w) { return w.fs->ls_raw(w.id("/a")); },
      [](World&, const fs::IoResult<fs::Listing>& r) {
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.value().files.size() + r.value().directories.size(), 41u);
      });
  sweep(
      w, tally, "get_path_by_inode", Effect::kNone, [](World& w) { return w.fs->get_path_by_inode(w.id("/a/sub/f")); },
      [](World&, const fs::IoResult<std::string>& r) { EXPECT_EQ(r.value(), "/a/sub/f"); });
  sweep(
      w, tally, "tree /a", Effect::kNone, [](World& w) { return fs::render_tree(*w.fs, "/a", "> "); },
      [](World&, const fs::IoResult<std::string>& r) {
        ASSERT_TRUE(r.ok());
        EXPECT_TRUE(r.value().starts_with("> sub/\n>   f\n")) << r.value();
      });
  sweep(
      w, tally, "debug text", Effect::kNone, [](World& w) { return w.fs->debug_string(); },
      [](World& w, const std::string& text) { EXPECT_EQ(text, w.fs->debug_string()); });

  // Removals: single ones, until /a is half vacant and compacts, then whole
  // subtrees at once (a failure there removes nothing).
  sweep(w, tally, "rm /a/sub (not empty)", Effect::kRemoves, rm("/a/sub", false),
        [](World&, const fs::IoStatus& r) { EXPECT_EQ(r.error().kind(), fs::IoError::Kind::DirectoryIsNotEmpty); });
  for (int i = 1; i <= 24; ++i) {
    std::string path = std::string("/a/") + (i % 3 == 0 ? "a-name-longer-than-fifteen-" : "n") + std::to_string(i);
    sweep(w, tally, "rm " + path, Effect::kRemoves, rm(path, false), succeeded);
    if (HasFailure()) return;
  }
  ASSERT_NO_FATAL_FAILURE(fill(w, tally, "/a", 1000, 3, true));
  sweep(w, tally, "rm -r /a", Effect::kRemoves, rm("/a", true), succeeded);
  sweep(w, tally, "rm -r /big", Effect::kRemoves, rm("/big", true), succeeded);
  EXPECT_EQ(w.fs->ls_raw(0).value().directories.size(), 0u);
  report("filesystem", tally);
}

TEST(AllocationFailure, FileHandles) {
  World w;
  Tally tally;
  ASSERT_TRUE(w.fs->mkdir("/d").ok());
  auto open = [](std::string path, const char* mode) {
    return [path, mode](World& w) {
      return FileSystem::open(w.fs, path, fs::FileHandleType::from_str(mode).value(), true);
    };
  };
  auto keep_as = [](std::string name) {
    return [name](World& w, fs::IoResult<FileHandle>& r) {
      ASSERT_TRUE(r.ok()) << r.error().debug();
      w.handles[name] = std::make_unique<Mutex<FileHandle>>(std::move(r).value());
    };
  };
  auto write = [](std::string name, std::string bytes) {
    return [name, bytes](World& w) { return w.handle(name).lock()->write(as_bytes(bytes)); };
  };
  auto wrote = [](size_t n) { return [n](World&, const fs::IoResult<size_t>& r) { EXPECT_EQ(r.value(), n); }; };
  auto seek_end = [](World& w) { return w.handle("rw").lock()->seek(fs::SeekOrigin::End, 0); };

  // Opening creates the file: a failure leaves no file behind.
  sweep(w, tally, "open /d/f rw", Effect::kCreates, open("/d/f", "rw"), keep_as("rw"));
  // Writes that grow the file: inline, onto the heap, and doubling.
  sweep(w, tally, "write 10", Effect::kNone, write("rw", "0123456789"), wrote(10));
  sweep(w, tally, "write 40", Effect::kNone, write("rw", std::string(40, 'x')), wrote(40));
  sweep(w, tally, "seek end", Effect::kNone, seek_end, succeeded);
  sweep(w, tally, "write 100 at 40", Effect::kNone, write("rw", std::string(100, 'y')), wrote(100));
  sweep(w, tally, "seek end", Effect::kNone, seek_end, succeeded);
  sweep(w, tally, "write 5000 at 140", Effect::kNone, write("rw", std::string(5000, 'z')), wrote(5000));
  // Truncation: lengthening can fail and changes nothing then; shortening
  // never fails (a smaller block it cannot get is simply not taken).
  auto truncate = [](size_t n) { return [n](World& w) { return w.handle("rw").lock()->truncate(n); }; };
  sweep(w, tally, "truncate 6000", Effect::kNone, truncate(6000), succeeded);
  sweep(w, tally, "truncate 100", Effect::kRemoves, truncate(100), succeeded);
  sweep(
      w, tally, "seek 38", Effect::kNone,
      [](World& w) { return w.handle("rw").lock()->seek(fs::SeekOrigin::Start, 38); }, succeeded);
  sweep(
      w, tally, "read 4", Effect::kNone,
      [](World& w) {
        std::array<uint8_t, 4> buffer{};
        auto n = w.handle("rw").lock()->read(buffer);
        return std::pair(std::move(n), buffer);
      },
      [](World&, const std::pair<fs::IoResult<size_t>, std::array<uint8_t, 4>>& r) {
        EXPECT_EQ(r.first.value(), 4u);
        EXPECT_EQ(std::string(r.second.begin(), r.second.end()), "xxyy");
      });
  sweep(
      w, tally, "handle debug text", Effect::kNone, [](World& w) { return w.handle("rw").lock()->debug_string(); },
      [](World&, const std::string& text) { EXPECT_NE(text.find("offset: 42 }"), std::string::npos) << text; });
  sweep(w, tally, "truncate 10 (back inline)", Effect::kRemoves, truncate(10), succeeded);
  sweep(
      w, tally, "handle debug text", Effect::kNone, [](World& w) { return w.handle("rw").lock()->debug_string(); },
      [](World&, const std::string& text) { EXPECT_NE(text.find("offset: 10 }"), std::string::npos) << text; });
  sweep(w, tally, "close", Effect::kNone, [](World& w) { return w.handle("rw").lock()->close(); }, succeeded);
  sweep(w, tally, "open /d/f r", Effect::kNone, open("/d/f", "r"), keep_as("r"));
  sweep(w, tally, "open /d/g (new, no mode)", Effect::kCreates, open("/d/g", ""), keep_as("none"));
  sweep(w, tally, "open /d/f w (in use)", Effect::kNone, open("/d/f", "w"),
        [](World&, const fs::IoResult<FileHandle>& r) {
          EXPECT_EQ(r.error().kind(), fs::IoError::Kind::ResourceCurrentInUse);
        });
  w.handles.clear();
  sweep(w, tally, "rm -r /d", Effect::kRemoves, rm("/d", true), succeeded);
  report("file handles", tally);
}

TEST(AllocationFailure, TerminalLines) {
  World w;
  Tally tally;
  ASSERT_TRUE(w.fs->mkdir("/big").ok());
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(w.fs->touch("/big/f" + std::to_string(i)).ok());
  struct Line {
    const char* line;
    const char* expected;
    bool fails;
    Effect effect;
  };
  const Line lines[] = {
      {"mkdir t", "", false, Effect::kCreates},
      {"touch t/x", "", false, Effect::kCreates},
      {"mkdir t/x", "mkdir: cannot create directory 't/x': Resource already exists", true, Effect::kCreates},
      {"cd t", "", false, Effect::kNone},
      {"pwd", "/t", false, Effect::kNone},
      {"ls", "x\n", false, Effect::kNone},
      {"cat x", "", false, Effect::kNone},
      {"cat nope", "nope: Inode not found", true, Effect::kNone},
      {"echo a 'b  c' \"d\\\"e\" # note", "a b  c d\"e", false, Effect::kNone},
      // More than eight words, two of them put together from pieces.
      {"echo 1 2 3 4 5 6 7 \"8 \"9 a\\ b", "1 2 3 4 5 6 7 8 9 a b", false, Effect::kNone},
      {"foo bar", "foo: command not found", true, Effect::kNone},
      {"echo 'open", "The command was not correctly formatted", true, Effect::kNone},
      {"rm -q x", nullptr, true, Effect::kNone},
      {"cd ..", "", false, Effect::kNone},
      {"rm t", "rm: cannot remove 't': Directory is not empty", true, Effect::kRemoves},
      {"rm -r t", "", false, Effect::kRemoves},
      {"help", nullptr, false, Effect::kNone},
      {"ls big", nullptr, false, Effect::kNone},
      {"rm -r big", "", false, Effect::kRemoves},
      {"ls", "", false, Effect::kNone},
  };
  for (const Line& l : lines) {
    std::string line = l.line;
    sweep(
        w, tally, line, l.effect, [line](World& w) { return w.term.lock()->run(line); },
        [&l](World&, const CommandResult& r) {
          ASSERT_EQ(r.ok(), !l.fails) << (r.ok() ? r.value() : r.error());
          if (l.expected) {
            EXPECT_EQ(r.ok() ? r.value() : r.error(), l.expected);
          }
        });
    if (HasFailure()) return;
  }
  report("terminal", tally);
}

}  // namespace
