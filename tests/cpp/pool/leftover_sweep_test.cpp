#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "pool/cleanup/account_cleanup.h"
#include "pool/cleanup/shared_dir_sweep.h"
#include "pool/cleanup/sysv_ipc_sweep.h"
#include "test_support.h"

namespace marrowfen::pool {
namespace {

namespace fs = std::filesystem;
using testing::CapturedStderr;
using testing::PathOverride;
using testing::read_file;
using testing::ScratchDir;
using testing::Shims;
using testing::write_file;

// Owners that need no account: chown and setresuid take any number.
constexpr uint32_t kTenant = 54321;
constexpr uint32_t kNeighbour = 54322;
// Owners of the tests that start a process of the tenant, one each: the
// tests of this file run side by side (ctest -j), and a process of one
// test's owner would be another test's tenant running.
constexpr uint32_t kSweptWhileRunning = 54323;
constexpr uint32_t kNamespacedTenant = 54324;
const std::string kName = "test_tenant";

class LeftoverSweepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: it gives files to other uids";
    places_.shared_dirs = {shared_, scratch_ / "missing"};
    places_.sysvipc_dir = scratch_ / "no-sysvipc";  // System V IPC has a test of its own
    places_.spools.crontab_dirs = {scratch_ / "crontabs"};
    places_.spools.at_dirs = {scratch_ / "atjobs"};
    fs::create_directories(shared_);
    ::chmod(shared_.c_str(), 01777);
  }

  // Makes `path` (a file, or a directory when it ends in '/') owned by `uid`;
  // missing parents are root's.
  static void plant(const std::string& path, uint32_t uid) {
    if (path.back() == '/') {
      fs::create_directories(path);
    } else {
      fs::create_directories(fs::path(path).parent_path());
      write_file(path, "left behind");
    }
    ASSERT_EQ(::lchown(path.c_str(), uid, uid), 0) << path;
  }

  std::vector<Error> sweep(std::chrono::milliseconds budget = kSweepBudget) {
    return sweep_leftovers(kTenant, kName, places_, budget);
  }

  // With a process of `tenant` running, clear_account kills it and sweeps
  // the planted file away, whatever `basis` says.
  void expect_swept_with_a_process_running(uint32_t tenant, const ClearBasis& basis) {
    pid_t running = testing::start_process_as(tenant);
    ASSERT_TRUE(testing::eventually([&] { return testing::ps_live_processes(tenant).size() == 1; }));
    ASSERT_TRUE(clear_account(tenant, kName, basis, places_).ok());
    EXPECT_FALSE(fs::exists(shared_ + "/file"));
    int status = 0;
    ASSERT_EQ(::waitpid(running, &status, 0), running);
  }

  ScratchDir scratch_;
  std::string shared_ = scratch_ / "tmp";
  LeftoverPlaces places_;
};

// The layout of a shared /tmp after a tenant: its files, trees, links and
// fifos at the top and in directories others may write; those of a
// neighbour and of root; a link of the tenant to a precious directory.
TEST_F(LeftoverSweepTest, RemovesWhatTheAccountOwnsAndNothingElse) {
  std::string precious = scratch_ / "etc";
  plant(precious + "/", 0);
  write_file(precious + "/passwd", "root:x:0:0");
  plant(shared_ + "/file", kTenant);
  plant(shared_ + "/tree/", kTenant);
  plant(shared_ + "/tree/deep/er/", 0);  // root's inside the tenant's: goes with it
  plant(shared_ + "/tree/deep/er/file", kNeighbour);
  fs::create_directory_symlink(precious, shared_ + "/to-etc");
  ASSERT_EQ(::lchown((shared_ + "/to-etc").c_str(), kTenant, kTenant), 0);
  ASSERT_EQ(::mkfifo((shared_ + "/fifo").c_str(), 0600), 0);
  ASSERT_EQ(::chown((shared_ + "/fifo").c_str(), kTenant, kTenant), 0);
  plant(shared_ + "/.X11-unix/", 0);
  ::chmod((shared_ + "/.X11-unix").c_str(), 01777);
  plant(shared_ + "/.X11-unix/X7", kTenant);
  plant(shared_ + "/.X11-unix/X8", kNeighbour);
  plant(shared_ + "/neighbours/", kNeighbour);
  ::chmod((shared_ + "/neighbours").c_str(), 0777);
  plant(shared_ + "/neighbours/mine", kTenant);
  plant(shared_ + "/private/", 0);  // not writable by others: not searched
  ::chmod((shared_ + "/private").c_str(), 0755);
  plant(shared_ + "/private/mine", kTenant);
  plant(shared_ + "/homes/", 0);  // the home root: its own home stays
  ::chmod((shared_ + "/homes").c_str(), 0755);
  plant(shared_ + "/homes/test_tenant/", kTenant);
  places_.home_root = shared_ + "/homes";

  EXPECT_EQ(sweep(), std::vector<std::string>{});

  std::vector<std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(shared_)) {
    left.push_back(entry.path().string().substr(shared_.size()));
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"/.X11-unix", "/.X11-unix/X8", "/homes", "/homes/test_tenant",
                                            "/neighbours", "/private", "/private/mine"}));
  EXPECT_EQ(read_file(precious + "/passwd"), "root:x:0:0");
}

// Directories others own are searched where the account may write them:
// for everyone, or for a group of the account (the pool's accounts have
// gid = uid); one only another group may write is not even listed.
TEST_F(LeftoverSweepTest, SearchesTheDirectoriesTheAccountMayWriteOnly) {
  auto shared_with = [&](const std::string& dir, uint32_t gid, mode_t mode) {
    plant(dir + "/", 0);
    ASSERT_EQ(::chown(dir.c_str(), 0, gid), 0);
    ASSERT_EQ(::chmod(dir.c_str(), mode), 0);
    plant(dir + "/mine", kTenant);
  };
  shared_with(shared_ + "/its-group", kTenant, 02770);
  shared_with(shared_ + "/other-group", kNeighbour, 02770);
  shared_with(shared_ + "/everyone", kNeighbour, 0777);

  EXPECT_EQ(sweep(), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(shared_ + "/its-group/mine"));
  EXPECT_FALSE(fs::exists(shared_ + "/everyone/mine"));
  EXPECT_TRUE(fs::exists(shared_ + "/other-group/mine"));
}

// Entries in the deepest directory the sweep lists go; one level deeper they
// are out of its reach.
TEST_F(LeftoverSweepTest, FollowsSharedDirectoriesToItsDepthLimitExactly) {
  std::string dir = shared_;
  for (int depth = 1; depth <= kMaxSharedDepth; ++depth) {
    dir += "/d" + std::to_string(depth);
    plant(dir + "/", kNeighbour);
    ::chmod(dir.c_str(), 0777);
    plant(dir + "/mine", kTenant);
  }
  EXPECT_EQ(sweep(), std::vector<std::string>{});
  dir = shared_;
  for (int depth = 1; depth <= kMaxSharedDepth; ++depth) {
    dir += "/d" + std::to_string(depth);
    EXPECT_EQ(fs::exists(dir + "/mine"), depth == kMaxSharedDepth) << dir;
  }
}

// In the home root: the account's own home waits for its next hand-out; what
// it wrote into a home another tenant opened goes; a closed home is not
// searched.
TEST_F(LeftoverSweepTest, TakesItsEntriesOutOfTheHomesOthersOpened) {
  std::string homes = shared_ + "/homes";
  plant(homes + "/", 0);
  ::chmod(homes.c_str(), 0755);
  places_.home_root = homes;
  plant(homes + "/test_tenant/kept", kTenant);
  ::lchown((homes + "/test_tenant").c_str(), kTenant, kTenant);
  plant(homes + "/test_opened/", kNeighbour);
  ::chmod((homes + "/test_opened").c_str(), 0777);
  plant(homes + "/test_opened/planted", kTenant);
  plant(homes + "/test_opened/theirs", kNeighbour);
  plant(homes + "/test_closed/", kNeighbour);
  ::chmod((homes + "/test_closed").c_str(), 0700);
  plant(homes + "/test_closed/from-before", kTenant);

  EXPECT_EQ(sweep(), std::vector<std::string>{});
  EXPECT_TRUE(fs::exists(homes + "/test_tenant/kept"));
  EXPECT_FALSE(fs::exists(homes + "/test_opened/planted"));
  EXPECT_TRUE(fs::exists(homes + "/test_opened/theirs"));
  EXPECT_TRUE(fs::exists(homes + "/test_closed/from-before"));
}

// A directory without subdirectories that has not changed since the
// account was last clear is not opened; one with subdirectories is. A wall
// clock that went back since makes the mark worthless. (A ctime cannot be
// set, so the mark is moved instead: into the future, or its clock back.)
TEST_F(LeftoverSweepTest, LeavesDirectoriesUnchangedSinceTheLastClearingUnopened) {
  plant(shared_ + "/leaf/", kNeighbour);
  ::chmod((shared_ + "/leaf").c_str(), 0777);
  plant(shared_ + "/leaf/mine", kTenant);
  plant(shared_ + "/branch/", kNeighbour);
  ::chmod((shared_ + "/branch").c_str(), 0777);
  plant(shared_ + "/branch/mine", kTenant);
  plant(shared_ + "/branch/sub/", kNeighbour);

  WallMark later = wall_mark_now();
  later.real.tv_sec += 10;
  later.steady += std::chrono::seconds(10);
  EXPECT_EQ(sweep_leftovers(kTenant, kName, places_, kSweepBudget, later), std::vector<std::string>{});
  EXPECT_TRUE(fs::exists(shared_ + "/leaf/mine"));
  EXPECT_FALSE(fs::exists(shared_ + "/branch/mine"));

  WallMark clock_went_back = later;
  clock_went_back.steady -= std::chrono::seconds(20);
  EXPECT_EQ(sweep_leftovers(kTenant, kName, places_, kSweepBudget, clock_went_back), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(shared_ + "/leaf/mine"));
}

// When nobody has handed the account out since its last complete clearing
// and nothing of it runs, there is nothing to sweep (the file planted here
// by root stands for what no tenant could have made). Otherwise, there is.
TEST_F(LeftoverSweepTest, SweepsOnlyWhenATenantMayHaveRunSinceTheLastClearing) {
  plant(shared_ + "/file", kSweptWhileRunning);
  ClearBasis untouched{ClearRecord{wall_mark_now(), std::nullopt}, true};
  ASSERT_TRUE(clear_account(kSweptWhileRunning, kName, untouched, places_).ok());
  EXPECT_TRUE(fs::exists(shared_ + "/file"));
  expect_swept_with_a_process_running(kSweptWhileRunning, untouched);

  plant(shared_ + "/file", kSweptWhileRunning);
  ClearBasis handed_out_since = untouched;
  handed_out_since.home_untouched = false;
  ASSERT_TRUE(clear_account(kSweptWhileRunning, kName, handed_out_since, places_).ok());
  EXPECT_FALSE(fs::exists(shared_ + "/file"));
}

// A tenant that lived in namespaces of its own could reach only the job
// spools of the host (the file planted here stands for what it could not
// have made); once something of the account runs outside them, the shared
// places are swept as well.
TEST_F(LeftoverSweepTest, ANamespacedTenantLeavesOnlyJobsUnlessTheAccountRanOutside) {
  Shims shims;
  shims.add("crontab", "exit 0");
  PathOverride path(shims);
  plant(scratch_ / "crontabs/" + kName, kNamespacedTenant);
  plant(shared_ + "/file", kNamespacedTenant);
  ClearBasis namespaced;
  namespaced.tenant_namespaced = true;
  ASSERT_TRUE(clear_account(kNamespacedTenant, kName, namespaced, places_).ok());
  EXPECT_EQ(shims.calls("crontab"), std::vector<std::string>{"-r -u test_tenant"});
  EXPECT_TRUE(fs::exists(shared_ + "/file"));
  expect_swept_with_a_process_running(kNamespacedTenant, namespaced);
}

TEST_F(LeftoverSweepTest, StopsAtItsDeadlineAndSaysSo) {
  plant(shared_ + "/tree/", kTenant);
  for (int i = 0; i < 600; ++i) write_file(shared_ + "/tree/f" + std::to_string(i), "x");
  std::vector<Error> problems = sweep(std::chrono::milliseconds(0));
  EXPECT_EQ(problems, std::vector<std::string>{shared_ + ": Connection timed out (os error 110)"});
  EXPECT_TRUE(fs::exists(shared_ + "/tree"));
  EXPECT_EQ(sweep(), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(shared_ + "/tree"));
}

// Problems are warning lines on descriptor 2, one each, and the sweep goes
// on; the account is not clear.
TEST_F(LeftoverSweepTest, ClearAccountWarnsOfEachProblem) {
  Shims shims;
  shims.add("crontab", "echo 'crontab: refused' >&2; exit 3");
  PathOverride path(shims);
  plant(scratch_ / "crontabs/" + kName, kTenant);
  plant(shared_ + "/file", kTenant);
  CapturedStderr err;
  auto cleared = clear_account(kTenant, kName, {}, places_);
  ASSERT_FALSE(cleared.ok());
  EXPECT_EQ(cleared.error(), kUncleanError);
  EXPECT_EQ(err.text(), std::string(kLeftoverWarning) + "`crontab` failed with exit code 3 (crontab: refused)\n");
  EXPECT_FALSE(fs::exists(shared_ + "/file"));
}

TEST_F(LeftoverSweepTest, CrontabAndAtJobsGoThroughTheHostTools) {
  Shims shims;
  shims.add("crontab", "exit 0");
  shims.add("atq",
            "printf '3\\tThu Dec 10 12:00:00 2026 a test_tenant\\n"
            "4\\tThu Dec 10 12:00:00 2026 a test_other\\n"
            "9\\tFri Dec 11 08:00:00 2026 b test_tenant\\n'");
  shims.add("atrm", "exit 0");
  PathOverride path(shims);

  // Nothing in the spools: no tool runs.
  EXPECT_EQ(sweep(), std::vector<std::string>{});
  EXPECT_TRUE(shims.calls("crontab").empty());
  EXPECT_TRUE(shims.calls("atq").empty());

  plant(scratch_ / "crontabs/" + kName, 0);
  plant(scratch_ / "atjobs/a0000301a1b2c3", kTenant);
  EXPECT_EQ(sweep(), std::vector<std::string>{});
  EXPECT_EQ(shims.calls("crontab"), std::vector<std::string>{"-r -u test_tenant"});
  EXPECT_EQ(shims.calls("atrm"), std::vector<std::string>{"3 9"});

  // A host without the tools has nothing to remove.
  PathOverride bare(scratch_ / "no-tools");
  EXPECT_EQ(sweep(), std::vector<std::string>{});
}

// Runs `body` in a child that has become kTenant entirely; its exit status.
template <class Body>
int as_tenant(Body&& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::syscall(SYS_setgroups, 0, nullptr) != 0 || ::syscall(SYS_setresgid, kTenant, kTenant, kTenant) != 0 ||
        ::syscall(SYS_setresuid, kTenant, kTenant, kTenant) != 0) {
      ::_exit(90);
    }
    ::_exit(body() ? 0 : 91);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

bool ipc_exists(int (*stat)(int), int id) { return stat(id) == 0; }
int shm_stat(int id) {
  shmid_ds ds{};
  return ::shmctl(id, IPC_STAT, &ds);
}
int msg_stat(int id) {
  msqid_ds ds{};
  return ::msgctl(id, IPC_STAT, &ds);
}
int sem_stat(int id) {
  semid_ds ds{};
  return ::semctl(id, 0, IPC_STAT, &ds);
}

// The objects a test made, removed when the test fails (a test that passes
// saw the sweep remove them): none outlives the run, whatever failed.
struct IpcObjectsOfAFailedTest {
  std::vector<int> shm, msg, sem;
  ~IpcObjectsOfAFailedTest() {
    if (!::testing::Test::HasFailure()) return;
    for (int id : shm) ::shmctl(id, IPC_RMID, nullptr);
    for (int id : msg) ::msgctl(id, IPC_RMID, nullptr);
    for (int id : sem) ::semctl(id, 0, IPC_RMID);
  }
};

TEST(SysvIpcSweep, RemovesTheObjectsOfTheAccountOnly) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: it acts as other uids";
  // The tenant's objects outlive its processes. The fourth it gave away to
  // a neighbour: its creator still counts.
  int ids[4] = {-1, -1, -1, -1};
  IpcObjectsOfAFailedTest made;
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  ASSERT_EQ(as_tenant([&] {
              int made[4] = {::shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600), ::msgget(IPC_PRIVATE, IPC_CREAT | 0600),
                             ::semget(IPC_PRIVATE, 1, IPC_CREAT | 0600), ::shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600)};
              shmid_ds ds{};
              if (::shmctl(made[3], IPC_STAT, &ds) != 0) return false;
              ds.shm_perm.uid = kNeighbour;
              if (::shmctl(made[3], IPC_SET, &ds) != 0) return false;
              return ::write(pipe_ends[1], made, sizeof made) == sizeof made;
            }),
            0);
  ASSERT_EQ(::read(pipe_ends[0], ids, sizeof ids), static_cast<ssize_t>(sizeof ids));
  ::close(pipe_ends[0]);
  ::close(pipe_ends[1]);
  made = {{ids[0], ids[3]}, {ids[1]}, {ids[2]}};
  int root_own = ::shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
  ASSERT_GE(root_own, 0);
  made.shm.push_back(root_own);

  std::vector<Error> problems = sweep_sysv_ipc(kTenant);
  EXPECT_EQ(problems, std::vector<std::string>{});
  EXPECT_FALSE(ipc_exists(shm_stat, ids[0]));
  EXPECT_FALSE(ipc_exists(msg_stat, ids[1]));
  EXPECT_FALSE(ipc_exists(sem_stat, ids[2]));
  EXPECT_FALSE(ipc_exists(shm_stat, ids[3]));
  EXPECT_TRUE(ipc_exists(shm_stat, root_own));
  ::shmctl(root_own, IPC_RMID, nullptr);
}

TEST(SysvIpcSweep, ParsesTheTablesByTheirHeaders) {
  const char* shm =
      "       key      shmid perms                  size  cpid  lpid nattch   uid   gid  cuid  cgid\n"
      "         0         7   600                  4096  100   100      0  1001  1001     0     0\n"
      "  12345678      32769  644                  8192  200   200      1     0     0  1002  1002\n"
      "garbage\n";
  std::vector<IpcObject> rows = parse_sysvipc_table(shm, "shmid");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ((std::vector<uint32_t>{static_cast<uint32_t>(rows[0].id), rows[0].uid, rows[0].cuid}),
            (std::vector<uint32_t>{7, 1001, 0}));
  EXPECT_EQ((std::vector<uint32_t>{static_cast<uint32_t>(rows[1].id), rows[1].uid, rows[1].cuid}),
            (std::vector<uint32_t>{32769, 0, 1002}));
  EXPECT_TRUE(parse_sysvipc_table("key semid perms nsems uid gid cuid cgid\n", "semid").empty());
  EXPECT_TRUE(parse_sysvipc_table(shm, "msqid").empty());
  EXPECT_TRUE(parse_sysvipc_table("", "shmid").empty());
}

}  // namespace
}  // namespace marrowfen::pool
