#include "pool/cleanup/clear_record.h"

#include <sys/stat.h>

namespace marrowfen::pool {
namespace {

// More than the coarse clock's tick and a filesystem's timestamp grain.
constexpr std::chrono::seconds kClockMargin{2};

std::chrono::nanoseconds as_duration(const timespec& t) {
  return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

}  // namespace

WallMark wall_mark_now() {
  WallMark mark;
  ::clock_gettime(CLOCK_REALTIME, &mark.real);
  mark.steady = std::chrono::steady_clock::now();
  return mark;
}

std::optional<timespec> sweep_cutoff(const WallMark& began) {
  WallMark now = wall_mark_now();
  auto real_elapsed = as_duration(now.real) - as_duration(began.real);
  auto steady_elapsed = now.steady - began.steady;
  // The wall clock must have moved as the steady one did, give or take.
  if (real_elapsed < steady_elapsed - kClockMargin || real_elapsed > steady_elapsed + kClockMargin) {
    return std::nullopt;
  }
  timespec cutoff = began.real;
  cutoff.tv_sec -= kClockMargin.count();
  return cutoff;
}

bool is_before(const timespec& ctime, const timespec& cutoff) {
  return ctime.tv_sec < cutoff.tv_sec || (ctime.tv_sec == cutoff.tv_sec && ctime.tv_nsec < cutoff.tv_nsec);
}

bool HomeWitness::operator==(const HomeWitness& other) const {
  return dev == other.dev && ino == other.ino && ctime.tv_sec == other.ctime.tv_sec &&
         ctime.tv_nsec == other.ctime.tv_nsec;
}

std::optional<HomeWitness> witness_home(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  return HomeWitness{st.st_dev, st.st_ino, st.st_ctim};
}

}  // namespace marrowfen::pool
