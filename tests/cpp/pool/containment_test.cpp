#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>

#include "pool/containment/cgroup_layout.h"
#include "pool/containment/tenant_cgroup.h"
#include "test_support.h"

namespace marrowfen::pool {
namespace {

using testing::read_file;
using testing::ScratchDir;

// A host as /proc would show it, with the control files it has.
std::map<std::string, std::string>& fake_files() {
  static std::map<std::string, std::string> files;
  return files;
}
std::optional<std::string> read_fake(const std::string& path) {
  auto it = fake_files().find(path);
  if (it == fake_files().end()) return std::nullopt;
  return it->second;
}

const char* const kHybridMounts =
    "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,relatime - cgroup cgroup rw,cpu,cpuacct\n"
    "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
    "37 31 0:34 / /sys/fs/cgroup/freezer rw,relatime - cgroup cgroup rw,freezer\n"
    "39 31 0:36 / /sys/fs/cgroup/pids rw,relatime shared:9 - cgroup cgroup rw,pids\n"
    "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
const char* const kHybridGroups =
    "8:pids:/\n6:freezer:/\n4:memory:/jobs/runner\n1:cpu,cpuacct:/\n0::/user.slice/session-1.scope\n";

TEST(CgroupLayoutTest, PicksV2WithTheControllersElseV1ElseSaysWhatIsMissing) {
  fake_files().clear();
  CgroupHostView host{kHybridMounts, kHybridGroups, read_fake};
  CgroupNeeds all{true, true, true};

  // v2 without controllers (as this build machine has it): the v1 hierarchies,
  // each below this process's own group there, cpu,cpuacct shared once.
  fake_files()["/sys/fs/cgroup/unified/user.slice/cgroup.controllers"] = "\n";
  fake_files()["/sys/fs/cgroup/memory/jobs/runner/memory.memsw.limit_in_bytes"] = "max\n";
  CgroupLayoutResult v1 = find_cgroup_layout(all, host);
  ASSERT_TRUE(v1.layout);
  EXPECT_EQ(v1.layout->version, CgroupVersion::kV1);
  EXPECT_TRUE(v1.layout->swap_accounting);
  std::vector<std::pair<std::string, std::vector<std::string>>> got;
  for (const auto& h : v1.layout->hierarchies) got.emplace_back(h.base, h.controllers);
  EXPECT_EQ(got, (std::vector<std::pair<std::string, std::vector<std::string>>>{
                     {"/sys/fs/cgroup/pids/marrowfen", {"pids"}},
                     {"/sys/fs/cgroup/memory/jobs/runner/marrowfen", {"memory"}},
                     {"/sys/fs/cgroup/cpu,cpuacct/marrowfen", {"cpu"}},
                     {"/sys/fs/cgroup/freezer/marrowfen", {"freezer"}},
                 }));

  // v2 with every controller: one hierarchy below the parent of our group.
  fake_files()["/sys/fs/cgroup/unified/user.slice/cgroup.controllers"] = "cpuset cpu io memory pids\n";
  CgroupLayoutResult v2 = find_cgroup_layout(all, host);
  ASSERT_TRUE(v2.layout);
  EXPECT_EQ(v2.layout->version, CgroupVersion::kV2);
  ASSERT_EQ(v2.layout->hierarchies.size(), 1u);
  EXPECT_EQ(v2.layout->hierarchies[0].base, "/sys/fs/cgroup/unified/user.slice/marrowfen");
  EXPECT_FALSE(v2.layout->swap_accounting);

  // Neither has memory: that is what the host lacks.
  const char* no_memory =
      "41 31 0:38 / /sys/fs/cgroup rw,relatime - cgroup2 cgroup2 rw\n"
      "39 31 0:36 / /sys/fs/cgroup/pids rw,relatime - cgroup cgroup rw,pids\n";
  fake_files()["/sys/fs/cgroup/cgroup.controllers"] = "cpu pids\n";
  CgroupLayoutResult missing = find_cgroup_layout({false, true, false}, {no_memory, "0::/\n8:pids:/\n", read_fake});
  EXPECT_FALSE(missing.layout);
  EXPECT_EQ(missing.missing, "the memory controller of cgroup v2 or v1");
}

TEST(TenantCgroupTest, WritesEveryLimitInTheHierarchyOfItsController) {
  ScratchDir scratch;
  ContainmentOptions options;
  options.max_processes = 64;
  options.memory_limit = 256u << 20;
  options.cpu_limit = 1.5;
  for (CgroupVersion version : {CgroupVersion::kV2, CgroupVersion::kV1}) {
    std::string root = scratch.path() + (version == CgroupVersion::kV2 ? "/v2" : "/v1");
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    CgroupLayout layout;
    layout.version = version;
    layout.swap_accounting = true;
    if (version == CgroupVersion::kV2) {
      layout.hierarchies = {{root + "/marrowfen", {"pids", "memory", "cpu"}}};
    } else {
      for (const char* c : {"pids", "memory", "cpu"}) {
        ASSERT_EQ(::mkdir((root + "/" + c).c_str(), 0755), 0);
        layout.hierarchies.push_back({root + "/" + c + "/marrowfen", {c}});
      }
    }
    auto group = TenantCgroup::create(layout, "test_tenant", options);
    ASSERT_TRUE(group) << group.error();
    auto at = [&](const std::string& controller, const std::string& file) {
      std::string dir = version == CgroupVersion::kV2 ? root : root + "/" + controller;
      return read_file(dir + "/marrowfen/test_tenant/" + file);
    };
    if (version == CgroupVersion::kV2) {
      EXPECT_EQ(read_file(root + "/marrowfen/cgroup.subtree_control"), "+pids +memory +cpu");
      EXPECT_EQ(at("", "pids.max"), "64");
      EXPECT_EQ(at("", "memory.max"), "268435456");
      EXPECT_EQ(at("", "memory.swap.max"), "0");
      EXPECT_EQ(at("", "cpu.max"), "150000 100000");
    } else {
      EXPECT_EQ(at("pids", "pids.max"), "64");
      EXPECT_EQ(at("memory", "memory.limit_in_bytes"), "268435456");
      EXPECT_EQ(at("memory", "memory.memsw.limit_in_bytes"), "268435456");
      EXPECT_EQ(at("cpu", "cpu.cfs_period_us"), "100000");
      EXPECT_EQ(at("cpu", "cpu.cfs_quota_us"), "150000");
      EXPECT_FALSE(::access((root + "/pids/marrowfen/test_tenant/memory.limit_in_bytes").c_str(), F_OK) == 0);
    }
    EXPECT_EQ(group.value().join_files().size(), layout.hierarchies.size());
  }
}

// A step that fails says which, on which path, with the system's reason, in
// the words the release's warning and the hand-out's error carry.
TEST(TenantCgroupTest, AFailedStepSaysWhichOnWhatPathAndWhy) {
  ScratchDir scratch;
  ContainmentOptions options;
  options.max_processes = 8;
  testing::write_file(scratch / "file", "");
  CgroupLayout under_a_file{CgroupVersion::kV1, {{scratch / "file/marrowfen", {"pids"}}}, false};
  auto made = TenantCgroup::create(under_a_file, "test_tenant", options);
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error(),
            "Failed to make the control group " + scratch / "file/marrowfen" + ": Not a directory (os error 20)");

  ASSERT_EQ(::mkdir((scratch / "v2").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((scratch / "v2/cgroup.subtree_control").c_str(), 0755), 0);
  CgroupLayout unwritable{CgroupVersion::kV2, {{scratch / "v2/marrowfen", {"pids"}}}, false};
  made = TenantCgroup::create(unwritable, "test_tenant", options);
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error(),
            "Failed to enable the controllers (+pids) in " + scratch / "v2" + ": Is a directory (os error 21)");
  EXPECT_NE(::access((scratch / "v2/marrowfen/test_tenant").c_str(), F_OK), 0);

  std::string group = scratch / "v1-group";
  ASSERT_EQ(::mkdir(group.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((group + "/kept").c_str(), 0755), 0);
  auto removed = kill_and_remove_group(CgroupVersion::kV1, {group}, "");
  ASSERT_FALSE(removed);
  EXPECT_EQ(removed.error(), "Failed to remove the control group " + group + ": Directory not empty (os error 39)");
}

// A child that waits to be killed.
pid_t sleeper() {
  pid_t pid = ::fork();
  if (pid == 0) {
    for (;;) ::pause();
  }
  return pid;
}

// The real hierarchies of this host: a group made, a process put in it,
// the group killed whole and removed, for the version the host offers.
void kill_a_real_group(CgroupNeeds needs, CgroupVersion version, const ContainmentOptions& options) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: it makes control groups";
  CgroupLayoutResult found = find_cgroup_layout(needs, this_host_cgroups());
  if (!found.layout || found.layout->version != version) GTEST_SKIP() << "this host has no such hierarchy";
  std::string account = "test_cgroup" + std::to_string(::getpid());
  auto group = TenantCgroup::create(*found.layout, account, options);
  ASSERT_TRUE(group) << group.error();
  pid_t child = sleeper();
  ASSERT_GT(child, 0);
  for (const std::string& procs : group.value().join_files()) {
    testing::write_file(procs, std::to_string(child));
  }
  EXPECT_NE(read_file(group.value().dirs()[0] + "/cgroup.procs").find(std::to_string(child)), std::string::npos);
  auto removed = group.value().kill_and_remove();
  EXPECT_TRUE(removed) << removed.error();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  for (const std::string& dir : group.value().dirs()) EXPECT_NE(::access(dir.c_str(), F_OK), 0) << dir;
  for (const CgroupLayout::Hierarchy& h : found.layout->hierarchies) {
    EXPECT_NE(::access((h.base + "/" + account).c_str(), F_OK), 0);
  }
}

TEST(TenantCgroupTest, V2GroupIsKilledWholeThroughCgroupKillAndRemoved) {
  // Without limits no controller is needed: what the v2 hierarchy of a host
  // without v2 controllers still takes (cgroup.procs, cgroup.kill).
  kill_a_real_group({}, CgroupVersion::kV2, {});
}

TEST(TenantCgroupTest, V1GroupIsFrozenKilledAndRemoved) {
  ContainmentOptions options;
  options.max_processes = 8;
  kill_a_real_group({true, false, false}, CgroupVersion::kV1, options);
}

}  // namespace
}  // namespace marrowfen::pool
