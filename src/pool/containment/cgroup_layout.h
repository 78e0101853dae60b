// Where this host keeps its control groups, and where a pool makes its
// tenants' groups. Found by reading /proc only, so a pool can say at
// construction what the host lacks.
//
// cgroup v2 is used when its one hierarchy has every controller the limits
// need; else cgroup v1, when each controller is mounted as a v1 hierarchy;
// a controller in neither (or the two mixed) is what the host lacks.
//
// The groups go below the group this process is in (v1: in each
// hierarchy; v2: below its parent, since a v2 group that holds processes
// cannot hand controllers to groups below it, unless it is the root), in a
// directory "marrowfen": tenants stay inside whatever budget the host gave
// this process or its parent.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marrowfen::pool {

enum class CgroupVersion { kV1, kV2 };

// The controllers a set of limits needs.
struct CgroupNeeds {
  bool pids = false;
  bool memory = false;
  bool cpu = false;
};

struct CgroupLayout {
  CgroupVersion version = CgroupVersion::kV2;
  // v2: one directory; v1: one per hierarchy used (pids, memory, cpu, and
  // freezer when mounted, to stop a group before it is killed). Tenants'
  // groups are made in each, under the account's name.
  struct Hierarchy {
    std::string base;                      // ".../marrowfen"
    std::vector<std::string> controllers;  // v1: the hierarchy's; v2: those to enable
  };
  std::vector<Hierarchy> hierarchies;
  bool swap_accounting = false;  // memory limits can include swap
};

// What /proc/self/mountinfo and /proc/self/cgroup say, as text: parsed by
// find_cgroup_layout so tests can give it any host.
struct CgroupHostView {
  std::string mountinfo;
  std::string own_cgroups;
  // Reads a file of the host (a controller list), nullopt if it cannot.
  std::optional<std::string> (*read_file)(const std::string& path) = nullptr;
};

CgroupHostView this_host_cgroups();

// The whole text of a small file of the host (/proc, a control file);
// nullopt when it cannot be opened.
std::optional<std::string> read_host_file(const std::string& path);

// The layout for `needs`, or the text of what is missing ("the memory
// controller of cgroup v2 or v1").
struct CgroupLayoutResult {
  std::optional<CgroupLayout> layout;
  std::string missing;
};
CgroupLayoutResult find_cgroup_layout(const CgroupNeeds& needs, const CgroupHostView& host);

}  // namespace marrowfen::pool
