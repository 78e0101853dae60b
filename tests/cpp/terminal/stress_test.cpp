// Several threads on one filesystem for a bounded time, mixing creation,
// removal, listing, handles that read and write, the debug text and terminal
// commands (each thread its own terminal, and one terminal shared behind a
// lock). What each step sees is checked as it goes: contents are never torn,
// a listing never names an entry twice, and no error appears that no race
// can explain. Afterwards, with every handle closed, the tree must hold
// together: every listed id resolves, parent and depth agree, every inode
// is reachable by its path, and every lock word is back at 0.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "fs/file_handle.h"
#include "fs/filesystem.h"
#include "terminal/simple_terminal.h"

namespace marrowfen::terminal {
namespace {

using fs::FileHandle;
using fs::FileHandleType;
using fs::FileSystem;
using fs::InodeId;
using fs::IoError;
using Clock = std::chrono::steady_clock;

constexpr auto kRunTime = std::chrono::milliseconds(1000);

// What the threads report; a failure message ends the run early.
struct Shared {
  std::shared_ptr<FileSystem> fs = FileSystem::create();
  std::mutex terminal_lock;
  SimpleTerminal shared_terminal{fs};
  Clock::time_point deadline;

  std::atomic<bool> stop{false};
  std::mutex failure_lock;
  std::string failure;
  std::atomic<long> steps{0}, created{0}, removed{0}, written{0}, read{0}, commands{0};

  void fail(const std::string& message) {
    std::lock_guard lock(failure_lock);
    if (failure.empty()) failure = message;
    stop = true;
  }
};

// Kinds that no interleaving of these steps can produce.
bool impossible(const IoError& e) {
  return e == IoError::NotASymlink || e == IoError::MaxRecursionDepthExceeded || e == IoError::UnrecognizedFileMode ||
         e.kind() == IoError::OperationNotSupported || e == IoError::InvalidFileDescriptor;
}

bool uniform(const std::string& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [&](char c) { return c == bytes[0]; });
}

class Worker {
 public:
  Worker(Shared& shared, unsigned seed) : s_(shared), rng_(seed), terminal_(shared.fs) {}

  void run() {
    while (!s_.stop && Clock::now() < s_.deadline) {
      ++s_.steps;
      switch (pick(10)) {
        case 0: create(true); break;
        case 1: create(false); break;
        case 2: remove(); break;
        case 3: list(); break;
        case 4: write_through_handle(); break;
        case 5: read_through_handle(); break;
        case 6: hold_or_release(); break;
        case 7: debug_text(); break;
        case 8: command(terminal_); break;
        case 9: {
          std::lock_guard lock(s_.terminal_lock);
          command(s_.shared_terminal);
          break;
        }
      }
    }
    held_.clear();  // closes them
  }

 private:
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

  // Few names, so that threads meet: the same name as a file in one place
  // and a directory in another, created and removed over and over.
  std::string name() { return "n" + std::to_string(pick(4)); }
  std::string path() {
    std::string p = "/" + name();
    for (size_t depth = pick(3); depth > 0; --depth) p += (pick(2) ? "/" : "\\") + name();
    return p;
  }

  void check(const IoError& e, const char* what) {
    if (impossible(e)) s_.fail(std::string(what) + " failed with " + e.debug());
  }

  void create(bool directory) {
    auto made = directory ? s_.fs->mkdir(path()) : s_.fs->touch(path());
    if (made.ok()) {
      ++s_.created;
    } else {
      check(made.error(), "a creation");
    }
  }

  void remove() {
    auto removed = s_.fs->rm(pick(20) ? path() : "/", pick(2));
    if (removed.ok()) {
      ++s_.removed;
    } else {
      check(removed.error(), "a removal");
    }
  }

  void list() {
    auto id = s_.fs->get_inode_by_path_raw(pick(4) ? path() : "/");
    if (!id.ok()) return check(id.error(), "a lookup");
    auto listing = s_.fs->ls_raw(id.value());
    if (!listing.ok()) return check(listing.error(), "a listing");
    // The ids are copied at one moment, so their names are distinct.
    std::set<std::string> names(listing.value().files.begin(), listing.value().files.end());
    names.insert(listing.value().directories.begin(), listing.value().directories.end());
    if (names.size() != listing.value().files.size() + listing.value().directories.size())
      s_.fail("a listing names an entry twice");
    if (auto where = s_.fs->get_path_by_inode(id.value()); !where.ok()) check(where.error(), "a path");
  }

  // A writer has the file to itself: it replaces the whole contents with
  // one repeated byte and must read back exactly that.
  void write_through_handle() {
    auto opened = FileSystem::open(s_.fs, path(), FileHandleType(FileHandleType::READ | FileHandleType::WRITE), true);
    if (!opened.ok()) return check(opened.error(), "an open for writing");
    FileHandle& h = opened.value();
    if (auto e = h.seek(fs::SeekOrigin::End, 0); !e.ok()) return check(e.error(), "a seek");
    const size_t length = std::max(h.offset(), 1 + pick(48));
    const std::string bytes(length, static_cast<char>('a' + pick(26)));
    if (auto e = h.seek(fs::SeekOrigin::Start, 0); !e.ok()) return check(e.error(), "a seek");
    auto wrote = h.write(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    if (!wrote.ok()) return check(wrote.error(), "a write");
    std::string back(length + 8, '\0');
    auto got = h.read(std::span(reinterpret_cast<uint8_t*>(back.data()), back.size()));
    if (!got.ok()) return check(got.error(), "a read back");
    back.resize(got.value());
    if (back != bytes) s_.fail("a writer read back " + back + " after writing " + bytes);
    if (auto e = h.close(); !e.ok()) check(e.error(), "a close");
    ++s_.written;
  }

  // Readers never see a write half done.
  void read_through_handle() {
    auto opened = FileSystem::open(s_.fs, path(), FileHandleType(FileHandleType::READ), pick(2));
    if (!opened.ok()) return check(opened.error(), "an open for reading");
    FileHandle& h = opened.value();
    if (auto e = h.seek(fs::SeekOrigin::End, 0); !e.ok()) return check(e.error(), "a seek");
    std::string bytes(h.offset(), '\0');
    if (auto e = h.seek(fs::SeekOrigin::Start, 0); !e.ok()) return check(e.error(), "a seek");
    auto got = h.read(std::span(reinterpret_cast<uint8_t*>(bytes.data()), bytes.size()));
    if (!got.ok()) return check(got.error(), "a read");
    if (got.value() != bytes.size() || !uniform(bytes)) s_.fail("a reader saw " + bytes);
    ++s_.read;
    // Left to the destructor: an open handle closes itself.
  }

  // Handles kept open across steps, so removals meet claimed files.
  void hold_or_release() {
    if (!held_.empty() && pick(2)) {
      held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(pick(held_.size())));
      return;
    }
    if (held_.size() >= 3) return;
    const uint8_t mode = pick(3) == 0 ? FileHandleType::WRITE : pick(2) ? FileHandleType::READ : FileHandleType::EMPTY;
    auto opened = FileSystem::open(s_.fs, path(), FileHandleType(mode), true);
    if (!opened.ok()) return check(opened.error(), "an open to hold");
    held_.push_back(std::move(opened).value());
  }

  void debug_text() {
    const std::string text = s_.fs->debug_string();
    if (!text.starts_with("FileSystem { inodes: {0: INode { id: 0, parent: 0, depth: 0, name: \"\"") ||
        !text.ends_with(" }") || text.find("poisoned: true") != std::string::npos)
      s_.fail("debug text: " + text);
  }

  void command(SimpleTerminal& terminal) {
    static const char* const kLines[] = {
        "ls",       "ls /",      "pwd",         "cd /",     "cd ..",     "cd n0",         "cd n1",  "mkdir n0",
        "mkdir n2", "mkdir /n3", "mkdir n1/n2", "touch n1", "touch n3",  "touch n0/n3",   "cat n1", "cat n3",
        "cat /n2",  "rm n2",     "rm -r n0",    "rm n3",    "rm -r /n1", "echo 'a  b' c", "help",   "rm",
        "rm -x n0",
    };
    const std::string line = kLines[pick(std::size(kLines))];
    CommandResult result = terminal.run(line);
    ++s_.commands;
    if (line.starts_with("cat") && result.ok() && !uniform(result.value())) s_.fail("cat saw " + result.value());
    if (line == "echo 'a  b' c" && (!result.ok() || result.value() != "a  b c")) s_.fail("echo went wrong");
    if (!result.ok() && result.error().find("command not found") != std::string::npos)
      s_.fail(line + ": " + result.error());
  }

  Shared& s_;
  std::mt19937 rng_;
  SimpleTerminal terminal_;
  std::vector<FileHandle> held_;
};

// The tree after the run, with every handle closed.
void check_invariants(const FileSystem& fs) {
  const InodeId end = fs.next_inode_id();
  size_t live = 0;
  for (InodeId id = 0; id < end; ++id) {
    fs::INodeRef node = fs.lookup(id);
    if (!node) continue;
    ++live;
    SCOPED_TRACE("inode " + std::to_string(id));
    if (id == 0) {
      EXPECT_EQ(node->parent, 0u);
      EXPECT_EQ(node->depth, 0u);
    } else {
      fs::INodeRef parent = fs.lookup(node->parent);
      ASSERT_TRUE(parent) << "its parent " << node->parent << " is gone";
      ASSERT_TRUE(parent->is_directory());
      EXPECT_EQ(node->depth, parent->depth + 1);
      const std::vector<InodeId> children = parent->read().directory()->child_ids();
      EXPECT_EQ(std::count(children.begin(), children.end(), id), 1) << "not listed once in its parent";
    }
    {
      auto kind = node->read();
      if (const auto* dir = kind.directory()) {
        for (InodeId child : dir->child_ids()) {
          fs::INodeRef c = fs.lookup(child);
          ASSERT_TRUE(c) << "listed child " << child << " does not resolve";
          EXPECT_EQ(c->parent, id) << "listed child " << child;
        }
      } else {
        EXPECT_EQ(kind.file()->lock.flag.load(), 0) << "a lock word stayed claimed";
      }
    }
    auto path = fs.get_path_by_inode(id);
    ASSERT_TRUE(path.ok());
    auto found = fs.get_inode_by_path_raw(path.value());
    ASSERT_TRUE(found.ok()) << path.value();
    EXPECT_EQ(found.value(), id) << path.value();
  }

  // Everything alive hangs off the root.
  size_t reachable = 0;
  std::vector<InodeId> todo{0};
  while (!todo.empty()) {
    InodeId id = todo.back();
    todo.pop_back();
    ++reachable;
    fs::INodeRef node = fs.lookup(id);
    auto kind = node->read();
    if (const auto* dir = kind.directory())
      for (InodeId child : dir->child_ids()) todo.push_back(child);
  }
  EXPECT_EQ(reachable, live);

  const std::string text = fs.debug_string();
  EXPECT_EQ(text.find("<locked>"), std::string::npos);
  EXPECT_EQ(text.find("poisoned: true"), std::string::npos);
}

class Stress : public ::testing::TestWithParam<int> {};

TEST_P(Stress, OneFilesystemManyThreads) {
  Shared shared;
  shared.deadline = Clock::now() + kRunTime;
  std::vector<std::future<void>> threads;
  for (int t = 0; t < GetParam(); ++t)
    threads.push_back(std::async(std::launch::async, [&shared, t] { Worker(shared, 1000 + t).run(); }));
  for (auto& thread : threads)
    ASSERT_EQ(thread.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "a thread hung";
  ASSERT_EQ(shared.failure, "");
  std::printf("%d threads: %ld steps, %ld creations, %ld removals, %ld writes, %ld reads, %ld commands\n", GetParam(),
              shared.steps.load(), shared.created.load(), shared.removed.load(), shared.written.load(),
              shared.read.load(), shared.commands.load());

  // Every kind of step happened, and the tree saw both growth and removal.
  EXPECT_GT(shared.created.load(), 0);
  EXPECT_GT(shared.removed.load(), 0);
  EXPECT_GT(shared.written.load(), 0);
  EXPECT_GT(shared.read.load(), 0);
  EXPECT_GT(shared.commands.load(), 0);

  check_invariants(*shared.fs);

  // And it is still usable: the terminal lists the root as the filesystem does.
  CommandResult listed = SimpleTerminal(shared.fs).run("ls /");
  ASSERT_TRUE(listed.ok());
  fs::Listing root = shared.fs->ls_raw(0).value();
  std::string expected;
  for (const std::string& f : root.files) expected += f + "\n";
  for (const std::string& d : root.directories) expected += d + "/\n";
  EXPECT_EQ(listed.value(), expected);
}

INSTANTIATE_TEST_SUITE_P(Threads, Stress, ::testing::Values(2, 8),
                         [](const ::testing::TestParamInfo<int>& info) { return std::to_string(info.param); });

}  // namespace
}  // namespace marrowfen::terminal
