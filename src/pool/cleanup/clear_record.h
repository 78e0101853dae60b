// What the pool keeps of an account's last complete clearing, so that the
// next one does only the work that can still be needed.
//
// Two facts carry over:
// - When the clearing began. Once it is complete, no directory the sweep
//   examines holds an entry of the account. A new entry in a directory (made,
//   moved or linked there) changes the directory's ctime, which no user can
//   set. So a directory without subdirectories whose ctime is older than
//   that moment cannot hold an entry of the account, and is not opened. The
//   kernel stamps ctimes from a coarse clock, and the host's clock could be
//   set back, so a margin is kept and a clock that went back since makes the
//   mark worthless (see sweep_cutoff).
// - How the account's home looked after it. Every hand-out, by any pool of
//   any process, removes the home and makes a new one. A home that is still
//   the one that clearing left (same inode, same ctime) shows that nobody has
//   handed the account out since, so no tenant of it has run since: a
//   hand-out then needs only the kill loop (which also empties the keyrings),
//   not the sweep again.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <optional>
#include <string>

namespace marrowfen::pool {

// A moment on both clocks: the wall clock that ctimes come from and the
// steady clock that shows whether the wall clock went back since.
struct WallMark {
  timespec real{};
  std::chrono::steady_clock::time_point steady{};
};

WallMark wall_mark_now();

// The ctime before which a directory is known unchanged since `began`: `began`
// less a margin for the coarse clock; nothing when the wall clock has gone
// back (or jumped about) since.
std::optional<timespec> sweep_cutoff(const WallMark& began);

// Whether `ctime` is before `cutoff`.
bool is_before(const timespec& ctime, const timespec& cutoff);

// The identity and last change of a home directory.
struct HomeWitness {
  dev_t dev = 0;
  ino_t ino = 0;
  timespec ctime{};

  bool operator==(const HomeWitness& other) const;
};

// The home at `path` as it is now; nothing when it is missing or not a
// directory.
std::optional<HomeWitness> witness_home(const std::string& path);

// An account's last complete clearing.
struct ClearRecord {
  WallMark began;
  // Its home right after; nothing when there was none.
  std::optional<HomeWitness> home;
};

}  // namespace marrowfen::pool
