// Many threads on one filesystem: creations, removals, listings, lookups,
// and opens and closes against the per-file lock word.
#include <atomic>
#include <barrier>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fs_test_support.h"

namespace fstest {
namespace {

using Futures = std::vector<std::future<void>>;

void join_all(Futures& futures) {
  for (auto& f : futures) join_bounded(f);
}

TEST(Concurrency, DistinctNamesInOneDirectory) {
  FsPtr fs = FileSystem::create();
  InodeId dir = MUST(fs->create_inode(0, "dir", new_directory()));
  constexpr int kThreads = 8, kPerThread = 250;
  std::vector<std::vector<InodeId>> ids(kThreads);
  std::atomic<int> failures{0};
  Futures workers;
  for (int t = 0; t < kThreads; ++t)
    workers.push_back(std::async(std::launch::async, [&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        auto kind = i % 3 == 0 ? new_directory() : new_file();
        auto id = fs->create_inode(dir, "t" + std::to_string(t) + "-" + std::to_string(i), std::move(kind));
        if (id.ok()) {
          ids[t].push_back(id.value());
        } else {
          ++failures;
        }
      }
    }));
  join_all(workers);
  EXPECT_EQ(failures.load(), 0);

  std::set<InodeId> distinct;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kPerThread; ++i) {
      InodeId id = ids[t].at(i);
      EXPECT_TRUE(distinct.insert(id).second) << "id " << id << " handed out twice";
      EXPECT_EQ(path_id(*fs, "/dir/t" + std::to_string(t) + "-" + std::to_string(i)), id);
    }
  EXPECT_EQ(fs->next_inode_id(), 2u + kThreads * kPerThread);

  Listing l = MUST(fs->ls_raw(dir));
  std::set<std::string> listed(l.files.begin(), l.files.end());
  listed.insert(l.directories.begin(), l.directories.end());
  EXPECT_EQ(l.files.size() + l.directories.size(), size_t{kThreads * kPerThread});
  EXPECT_EQ(listed.size(), size_t{kThreads * kPerThread});
  EXPECT_EQ(l.directories.size(), size_t{kThreads * ((kPerThread + 2) / 3)});
}

TEST(Concurrency, ExactlyOneWinsARaceForOneName) {
  FsPtr fs = FileSystem::create();
  constexpr int kThreads = 4, kRounds = 3000;
  std::barrier start(kThreads + 1), finish(kThreads + 1);
  std::atomic<InodeId> dir{0};
  std::vector<int> won(kThreads), lost_properly(kThreads);
  Futures workers;
  for (int t = 0; t < kThreads; ++t)
    workers.push_back(std::async(std::launch::async, [&, t] {
      for (int round = 0; round < kRounds; ++round) {
        start.arrive_and_wait();
        auto id = fs->create_inode(dir.load(), "same", t % 2 ? new_file() : new_directory());
        won[t] = id.ok();
        lost_properly[t] = !id.ok() && id.error() == IoError::ResourceAlreadyExists;
        finish.arrive_and_wait();
      }
    }));
  int bad_rounds = 0;
  for (int round = 0; round < kRounds; ++round) {
    dir = MUST(fs->create_inode(0, "r" + std::to_string(round), new_directory()));
    start.arrive_and_wait();
    finish.arrive_and_wait();
    int winners = 0, losers = 0;
    for (int t = 0; t < kThreads; ++t) {
      winners += won[t];
      losers += lost_properly[t];
    }
    Listing l = MUST(fs->ls_raw(dir));
    size_t entries = l.files.size() + l.directories.size();
    if (winners != 1 || losers != kThreads - 1 || entries != 1) {
      if (++bad_rounds <= 3)
        ADD_FAILURE() << "round " << round << ": " << winners << " creations succeeded, " << losers
                      << " refused with ResourceAlreadyExists, " << entries << " entries named \"same\"";
    }
  }
  join_all(workers);
  EXPECT_EQ(bad_rounds, 0) << "of " << kRounds << " rounds";
}

TEST(Concurrency, ListingsAndLookupsWhileAnotherThreadRemovesAndCreates) {
  FsPtr fs = FileSystem::create();
  MUST(fs->mkdir("/dir"));
  InodeId dir = path_id(*fs, "/dir");
  constexpr int kOld = 300;
  std::vector<InodeId> old_ids;
  for (int i = 0; i < kOld; ++i) old_ids.push_back(MUST(fs->create_inode(dir, "old" + std::to_string(i), new_file())));
  std::atomic<bool> done{false};
  std::mutex mutex;
  std::vector<std::string> complaints;
  auto complain = [&](std::string what) {
    std::lock_guard lock(mutex);
    complaints.push_back(std::move(what));
  };
  // A lookup finds the entry under its own id, or nothing once it is gone.
  auto id_or_gone = [&](const IoResult<InodeId>& r, InodeId id, const char* what) {
    if (r.ok() ? r.value() != id : r.error() != IoError::InodeNotFound) complain(what);
  };

  Futures workers;
  workers.push_back(std::async(std::launch::async, [&] {
    for (int i = 0; i < kOld; ++i)
      if (!fs->rm("/dir/old" + std::to_string(i), false).ok()) complain("remove");
    done = true;
  }));
  workers.push_back(std::async(std::launch::async, [&] {
    for (int i = 0; !done; ++i)
      if (!fs->create_inode(dir, "new" + std::to_string(i), i % 2 ? new_file() : new_directory()).ok())
        complain("create");
  }));
  for (int r = 0; r < 3; ++r)
    workers.push_back(std::async(std::launch::async, [&, r] {
      std::mt19937 rng(r);
      size_t last_old = kOld;
      while (!done) {
        auto l = fs->ls_raw(dir);
        if (!l.ok()) {
          complain("list");
          continue;
        }
        size_t old_now = 0;
        for (const auto& name : l.value().files) old_now += name.rfind("old", 0) == 0;
        if (old_now > last_old) complain("removed entries listed again");
        last_old = old_now;
        int k = static_cast<int>(rng() % kOld);
        std::string name = "old" + std::to_string(k);
        id_or_gone(fs->find_inode_by_name(dir, name), old_ids[k], "find_inode_by_name");
        id_or_gone(fs->get_inode_by_path_raw("/dir/" + name), old_ids[k], "get_inode_by_path_raw");
        auto path = fs->get_path_by_inode(old_ids[k]);
        if (path.ok() ? path.value() != "/dir/" + name : path.error() != IoError::InodeNotFound)
          complain("get_path_by_inode");
        if (fs->debug_string().rfind("FileSystem { inodes: {0: ", 0) != 0) complain("debug text");
      }
    }));
  join_all(workers);
  EXPECT_TRUE(complaints.empty()) << complaints.size() << " failures, the first: " << complaints.front();
  Listing l = MUST(fs->ls_raw(dir));
  for (const auto& name : l.files) EXPECT_EQ(name.rfind("new", 0), 0u) << name;
}

TEST(Concurrency, ACreationCannotSlipInWhileItsDirectoryIsUnlinked) {
  FsPtr fs = FileSystem::create();
  MUST(fs->mkdir("/p"));
  MUST(fs->mkdir("/p/d"));
  InodeId p = path_id(*fs, "/p"), d = path_id(*fs, "/p/d");
  INodeRef parent = fs->lookup(p);
  auto held = parent->read();
  // The removal has found /p/d empty and now waits for /p's lock.
  auto removal = std::async(std::launch::async, [&] { return fs->rm_raw(d, false); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto created = fs->create_inode(d, "child", new_file());
  held.release();
  ASSERT_EQ(removal.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  auto removed = removal.get();
  EXPECT_FALSE(created.ok() && removed.ok())
      << "the creation in /p/d and the removal of /p/d both succeeded; the new file is unreachable";
}

// Opens `id` in a random mode and checks what the holder of each mode may
// rely on; `readers` and `writers` count the handles held at the moment.
struct LockChecker {
  FsPtr fs;
  std::atomic<int> readers{0}, writers{0}, violations{0}, closes_failed{0}, opened{0};

  // Returns the open error, or nothing after a successful open and close.
  std::optional<Kind> cycle(InodeId id, std::mt19937& rng) {
    static const char* kModes[] = {"r", "w", "rw", ""};
    FileHandleType m = mode(kModes[rng() % 4]);
    auto h = FileSystem::open_raw(fs, id, m);
    if (!h.ok()) return h.error().kind();
    ++opened;
    std::atomic<int>& mine = m.can_write() ? writers : readers;
    int before = mine.fetch_add(1);
    int32_t flag = flag_of(*fs, id);
    if (m.can_write() ? (before != 0 || readers.load() != 0 || flag != -1) : (writers.load() != 0 || flag < 1))
      ++violations;
    std::this_thread::yield();
    mine.fetch_sub(1);
    if (!h.value().close().ok()) ++closes_failed;
    return std::nullopt;
  }
};

TEST(Concurrency, TheSecondOfTwoRacingRemovalsFindsNothing) {
  // Both removers have found the entry when the first one unlinks it: the
  // second must learn that it is gone, not that it is in use or not empty.
  FsPtr fs = FileSystem::create();
  MUST(fs->mkdir("/p"));
  INodeRef parent = fs->lookup(path_id(*fs, "/p"));
  for (const char* path : {"/p/f", "/p/d"}) {
    MUST(path[3] == 'd' ? fs->mkdir(path) : fs->touch(path));
    auto held = parent->read();  // the removals wait for the parent's lock
    std::vector<std::future<IoStatus>> removals;
    for (int t = 0; t < 2; ++t) removals.push_back(std::async(std::launch::async, [&] { return fs->rm(path, false); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    held.release();
    int removed = 0;
    for (auto& r : removals) {
      ASSERT_EQ(r.wait_for(std::chrono::seconds(60)), std::future_status::ready);
      IoStatus status = r.get();
      if (status.ok()) {
        ++removed;
      } else {
        EXPECT_EQ(status.error(), IoError::InodeNotFound) << path << ": " << status.error().debug();
      }
    }
    EXPECT_EQ(removed, 1) << path;
  }
}

TEST(Concurrency, OpensAndClosesNeverBreakTheLockWord) {
  LockChecker check{FileSystem::create()};
  MUST(check.fs->touch("/f"));
  InodeId f = path_id(*check.fs, "/f");
  Futures workers;
  for (int t = 0; t < 6; ++t)
    workers.push_back(std::async(std::launch::async, [&, t] {
      std::mt19937 rng(t);
      for (int i = 0; i < 3000; ++i) {
        auto e = check.cycle(f, rng);
        if (e && *e != Kind::ResourceCurrentInUse) ++check.violations;
      }
    }));
  join_all(workers);
  EXPECT_EQ(check.violations.load(), 0);
  EXPECT_EQ(check.closes_failed.load(), 0);
  EXPECT_GT(check.opened.load(), 0);
  EXPECT_EQ(flag_of(*check.fs, f), 0);
}

TEST(Concurrency, NoRemovalSucceedsWhileAHandleIsOpen) {
  LockChecker check{FileSystem::create()};
  constexpr int kRounds = 150, kOpeners = 4;
  int removals = 0;
  for (int round = 0; round < kRounds; ++round) {
    InodeId f = MUST(check.fs->create_inode(0, "f" + std::to_string(round), new_file()));
    std::atomic<bool> removed{false};
    Futures workers;
    for (int t = 0; t < kOpeners; ++t)
      workers.push_back(std::async(std::launch::async, [&, t] {
        std::mt19937 rng(round * kOpeners + t);
        for (int i = 0; i < 2000; ++i) {
          bool was_removed = removed.load();
          auto e = check.cycle(f, rng);
          if (!e && was_removed) ++check.violations;  // opened a removed file
          if (e == Kind::InodeNotFound) return;
          if (e && *e != Kind::ResourceCurrentInUse) ++check.violations;
        }
      }));
    workers.push_back(std::async(std::launch::async, [&] {
      for (int i = 0; i < 200000; ++i) {
        auto r = check.fs->rm_raw(f, false);
        if (r.ok()) {
          if (check.readers.load() != 0 || check.writers.load() != 0) ++check.violations;
          removed = true;
          return;
        }
        if (r.error() != IoError::ResourceCurrentInUse) ++check.violations;
        std::this_thread::yield();
      }
    }));
    join_all(workers);
    removals += removed.load();
  }
  EXPECT_EQ(check.violations.load(), 0);
  EXPECT_EQ(check.closes_failed.load(), 0);
  EXPECT_GT(removals, 0);
  Listing root = MUST(check.fs->ls_raw(0));
  EXPECT_EQ(root.files.size(), size_t(kRounds - removals));
}

}  // namespace
}  // namespace fstest
