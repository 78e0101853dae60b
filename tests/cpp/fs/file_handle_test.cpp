// File handles: opening, the per-file lock word as a state machine,
// offsets and clamping, and the closed state.
#include <cstring>
#include <limits>
#include <string>

#include "base/panic.h"
#include "fs_test_support.h"

namespace fstest {
namespace {

class Handles : public ::testing::Test {
 protected:
  void SetUp() override {
    MUST(fs->mkdir("/d"));
    MUST(fs->touch("/f"));
    f = path_id(*fs, "/f");
  }
  FileHandle open(std::string_view m) { return MUST(FileSystem::open_raw(fs, f, mode(m))); }
  auto try_open(std::string_view m) { return FileSystem::open_raw(fs, f, mode(m)); }
  int32_t flag() { return flag_of(*fs, f); }

  FsPtr fs = FileSystem::create();
  InodeId f = 0;
};

TEST_F(Handles, OpenResolvesPathsAndCreatesMissingFiles) {
  EXPECT_IO_ERR(FileSystem::open(fs, "/d", mode("r"), true), NotAFile);
  EXPECT_IO_ERR(FileSystem::open(fs, "/d/", mode("r"), true), NotAFile);
  EXPECT_IO_ERR(FileSystem::open(fs, "/", mode(""), true), NotAFile);
  EXPECT_IO_ERR(FileSystem::open(fs, "/d/..", mode("r"), true), NotAFile);
  EXPECT_IO_ERR(FileSystem::open(fs, "/d/new", mode("r"), false), InodeNotFound);
  EXPECT_IO_ERR(FileSystem::open(fs, "/missing/new", mode("r"), true), InodeNotFound);
  EXPECT_IO_ERR(FileSystem::open(fs, "/f/x", mode("r"), true), NotADirectory);
  EXPECT_TRUE(MUST(fs->ls_raw(path_id(*fs, "/d"))).files.empty());

  uint64_t next = fs->next_inode_id();
  FileHandle h = MUST(FileSystem::open(fs, "d\\new", mode("r"), true));
  EXPECT_EQ(h.id(), std::optional<InodeId>(next));
  EXPECT_EQ(path_id(*fs, "/d/new"), next);
  EXPECT_EQ(file_bytes(*fs, next), "");
  EXPECT_EQ(h.offset(), 0u);
  EXPECT_EQ(h.type(), mode("r"));

  FileHandle existing = MUST(FileSystem::open(fs, "/f", mode("r"), false));
  EXPECT_EQ(existing.id(), std::optional<InodeId>(f));
  EXPECT_IO_ERR(FileSystem::open_raw(fs, path_id(*fs, "/d"), mode("r")), NotAFile);
  EXPECT_IO_ERR(FileSystem::open_raw(fs, 999, mode("r")), InodeNotFound);
  EXPECT_IO_ERR(FileHandle::create(fs, 0, mode("r")), NotAFile);
  EXPECT_IO_ERR(FileHandle::create(fs, 999, mode("r")), InodeNotFound);
}

TEST_F(Handles, ReadersExcludeTheWriter) {
  EXPECT_EQ(flag(), 0);
  {
    FileHandle r1 = open("r");
    FileHandle r2 = open("r");
    EXPECT_EQ(flag(), 2);
    EXPECT_IO_ERR(try_open("w"), ResourceCurrentInUse);
    EXPECT_IO_ERR(try_open("rw"), ResourceCurrentInUse);
    EXPECT_IO_ERR(fs->rm_raw(f, false), ResourceCurrentInUse);
    EXPECT_EQ(flag(), 2);
    MUST(r1.close());
    EXPECT_EQ(flag(), 1);
    MUST(r2.close());
    EXPECT_EQ(flag(), 0);
  }
  {
    FileHandle w = open("rw");
    EXPECT_EQ(flag(), -1);
    for (const char* m : {"r", "w", "rw", ""}) EXPECT_IO_ERR(try_open(m), ResourceCurrentInUse) << m;
    EXPECT_IO_ERR(fs->rm_raw(f, true), ResourceCurrentInUse);
    EXPECT_EQ(flag(), -1);
    MUST(w.close());
    EXPECT_EQ(flag(), 0);
  }
  FileHandle again = open("w");
  EXPECT_EQ(flag(), -1);
}

TEST_F(Handles, TheEmptyModeCountsAsAReader) {
  FileHandle e = open("");
  EXPECT_EQ(flag(), 1);
  EXPECT_IO_ERR(try_open("w"), ResourceCurrentInUse);
  EXPECT_IO_ERR(fs->rm_raw(f, false), ResourceCurrentInUse);
  FileHandle r = open("r");
  EXPECT_EQ(flag(), 2);
  uint8_t buf[4];
  auto read = e.read(buf);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().to_string(), "File does not support the specified operation: read");
  auto written = e.write(std::span<const uint8_t>(buf, 1));
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().to_string(), "File does not support the specified operation: write");
  MUST(e.seek(SeekOrigin::End, 0));  // seeking needs no mode bit
  auto by_reader = r.write(std::span<const uint8_t>(buf, 1));
  ASSERT_FALSE(by_reader.ok());
  EXPECT_EQ(by_reader.error(), IoError::operation_not_supported("write"));
  MUST(e.close());
  MUST(r.close());
  FileHandle w_only = open("w");
  auto by_writer = w_only.read(buf);
  ASSERT_FALSE(by_writer.ok());
  EXPECT_EQ(by_writer.error(), IoError::operation_not_supported("read"));
}

TEST_F(Handles, NothingOpensAFileClaimedForRemoval) {
  // The state a removal holds between claiming the word and unlinking.
  set_flag(*fs, f, FileLock::REMOVING);
  for (const char* m : {"r", "w", "rw", ""}) EXPECT_IO_ERR(try_open(m), ResourceCurrentInUse) << m;
  EXPECT_IO_ERR(fs->rm_raw(f, false), ResourceCurrentInUse);
  EXPECT_EQ(flag(), FileLock::REMOVING);
  set_flag(*fs, f, FileLock::UNLOCKED);
  MUST(fs->rm_raw(f, false));
  EXPECT_IO_ERR(try_open("r"), InodeNotFound);
}

TEST_F(Handles, ImpossibleLockStatesAtCloseAreInternalErrors) {
  auto close_message = [](FileHandle& h) -> std::string {
    try {
      (void)h.close();
    } catch (const marrowfen::Panic& p) {
      return p.message();
    }
    return "no internal error";
  };
  FileHandle w = open("w");
  set_flag(*fs, f, 0);
  EXPECT_EQ(close_message(w), "assertion failed: self.flag.load(Ordering::Acquire) == FileLock::WRITE_EXCLUSIVE");
  set_flag(*fs, f, -1);
  MUST(w.close());

  FileHandle r = open("r");
  for (int32_t broken : {0, -1}) {
    set_flag(*fs, f, broken);
    EXPECT_EQ(close_message(r), "assertion failed: flag > 0") << broken;
  }
  set_flag(*fs, f, 1);
  MUST(r.close());
  EXPECT_EQ(flag(), 0);
}

std::span<const uint8_t> bytes(const char* s) { return {reinterpret_cast<const uint8_t*>(s), std::strlen(s)}; }

TEST_F(Handles, WritesDoNotMoveTheOffsetAndReadsDo) {
  FileHandle h = open("rw");
  EXPECT_EQ(MUST(h.write(bytes("hello"))), 5u);
  EXPECT_EQ(h.offset(), 0u);
  EXPECT_EQ(MUST(h.write(bytes("XY"))), 2u);
  EXPECT_EQ(h.offset(), 0u);
  EXPECT_EQ(file_bytes(*fs, f), "XYllo");

  uint8_t buf[10];
  std::memset(buf, 0xAA, sizeof buf);
  EXPECT_EQ(MUST(h.read(buf)), 5u);
  EXPECT_EQ(std::string(buf, buf + 5), "XYllo");
  for (int i = 5; i < 10; ++i) EXPECT_EQ(buf[i], 0xAA) << "byte " << i << " beyond the data changed";
  EXPECT_EQ(h.offset(), 5u);
  EXPECT_EQ(MUST(h.read(buf)), 0u);
  EXPECT_EQ(MUST(h.write(bytes("!"))), 1u);  // at the end: appends
  EXPECT_EQ(file_bytes(*fs, f), "XYllo!");
  EXPECT_EQ(MUST(h.write({})), 0u);

  MUST(h.seek(SeekOrigin::Start, 2));
  uint8_t two[2];
  EXPECT_EQ(MUST(h.read(two)), 2u);
  EXPECT_EQ(std::string(two, two + 2), "ll");
  EXPECT_EQ(h.offset(), 4u);
}

TEST_F(Handles, TruncateCutsShortAndLengthensUnderTheWriteHandleOnly) {
  {
    FileHandle reader = open("r");
    EXPECT_IO_ERR(reader.truncate(0), OperationNotSupported);
  }
  FileHandle h = open("rw");
  const std::string hundred(100, 'a');
  MUST(h.write(bytes(hundred.c_str())));  // on the heap
  MUST(h.seek(SeekOrigin::Start, 80));
  MUST(h.truncate(50));
  EXPECT_EQ(h.offset(), 50u);  // the offset never passes the end
  EXPECT_EQ(file_bytes(*fs, f), std::string(50, 'a'));
  MUST(h.truncate(3));  // back into the inline bytes
  MUST(h.truncate(5));  // lengthened with zeros; the offset stays
  EXPECT_EQ(h.offset(), 3u);
  EXPECT_EQ(file_bytes(*fs, f), std::string("aaa\0\0", 5));
  EXPECT_EQ(flag(), FileLock::WRITE_EXCLUSIVE);
  MUST(h.close());
  EXPECT_IO_ERR(h.truncate(0), InvalidFileDescriptor);
}

struct SeekCase {
  const char* name;
  size_t start;  // offset before the seek
  SeekOrigin origin;
  size_t distance;
  size_t expected;
};

class Seeks : public Handles, public ::testing::WithParamInterface<SeekCase> {};

TEST_P(Seeks, ClampToTheLength) {
  const SeekCase& c = GetParam();
  FileHandle h = open("rw");
  MUST(h.write(bytes("hello")));
  MUST(h.seek(SeekOrigin::Start, c.start));
  ASSERT_EQ(h.offset(), c.start);
  MUST(h.seek(c.origin, c.distance));
  EXPECT_EQ(h.offset(), c.expected);
}

constexpr size_t kMax = std::numeric_limits<size_t>::max();
INSTANTIATE_TEST_SUITE_P(Origins, Seeks,
                         ::testing::Values(SeekCase{"StartInside", 4, SeekOrigin::Start, 2, 2},
                                           SeekCase{"StartBeyond", 0, SeekOrigin::Start, 100, 5},
                                           SeekCase{"StartHuge", 0, SeekOrigin::Start, kMax, 5},
                                           SeekCase{"EndZero", 0, SeekOrigin::End, 0, 5},
                                           SeekCase{"EndTwo", 0, SeekOrigin::End, 2, 3},
                                           SeekCase{"EndAll", 3, SeekOrigin::End, 5, 0},
                                           SeekCase{"EndBeyond", 3, SeekOrigin::End, 10, 0},
                                           SeekCase{"CurrentOne", 3, SeekOrigin::Current, 1, 4},
                                           SeekCase{"CurrentZero", 3, SeekOrigin::Current, 0, 3},
                                           SeekCase{"CurrentBeyond", 3, SeekOrigin::Current, 10, 5},
                                           SeekCase{"CurrentSaturates", 3, SeekOrigin::Current, kMax, 5},
                                           SeekCase{"CurrentSaturatesFromEnd", 5, SeekOrigin::Current, kMax - 2, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Handles, EveryOperationAfterCloseFails) {
  for (const char* m : {"r", "w", "rw", ""}) {
    FileHandle h = open(m);
    MUST(h.close());
    EXPECT_EQ(flag(), 0) << m;
    EXPECT_FALSE(h.id().has_value());
    uint8_t buf[1];
    EXPECT_IO_ERR(h.read(buf), InvalidFileDescriptor) << m;
    EXPECT_IO_ERR(h.write(bytes("x")), InvalidFileDescriptor) << m;
    EXPECT_IO_ERR(h.seek(SeekOrigin::Start, 0), InvalidFileDescriptor) << m;
    EXPECT_IO_ERR(h.close(), InvalidFileDescriptor) << m;
    EXPECT_EQ(flag(), 0) << m;
    EXPECT_NE(h.debug_string().find("FileHandle { id: None, "), std::string::npos);
  }
  EXPECT_EQ(file_bytes(*fs, f), "");
}

TEST_F(Handles, AHandleDestroyedWhileOpenClosesItself) {
  {
    FileHandle w = open("w");
  }
  EXPECT_EQ(flag(), 0);
  {
    FileHandle r1 = open("r");
    FileHandle moved = std::move(r1);  // the moved-from handle must not close again
    FileHandle r2 = open("r");
    EXPECT_EQ(flag(), 2);
    r2 = std::move(moved);  // r2's own share is given back first
    EXPECT_EQ(flag(), 1);
  }
  EXPECT_EQ(flag(), 0);
  MUST(fs->rm_raw(f, false));
}

TEST_F(Handles, AHandleKeepsItsFilesystemAlive) {
  FileHandle h = open("rw");
  std::weak_ptr<FileSystem> weak = fs;
  fs.reset();
  ASSERT_FALSE(weak.expired());
  MUST(h.write(bytes("still here")));
  uint8_t buf[16];
  EXPECT_EQ(MUST(h.read(buf)), 10u);
  MUST(h.close());
  EXPECT_FALSE(weak.expired());  // a closed handle still holds it
  h = MUST(FileSystem::open_raw(h.fs(), f, mode("r")));
  FileHandle last = std::move(h);
  {
    FileHandle gone = std::move(last);
  }
  EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace fstest
