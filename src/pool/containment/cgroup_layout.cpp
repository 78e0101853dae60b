#include "pool/containment/cgroup_layout.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace marrowfen::pool {
namespace {

constexpr std::string_view kOurDir = "marrowfen";

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

bool contains(const std::vector<std::string_view>& words, std::string_view word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

struct Mount {
  std::string_view root;  // the mount's root within the hierarchy
  std::string_view point;
  std::string_view type;
  std::vector<std::string_view> super_options;
};

// mountinfo: "id parent dev root point options [optional...] - type source super".
std::vector<Mount> cgroup_mounts(std::string_view mountinfo) {
  std::vector<Mount> mounts;
  for (std::string_view line : split(mountinfo, '\n')) {
    std::vector<std::string_view> fields = split(line, ' ');
    auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
    std::string_view type = dash[1];
    if (type != "cgroup" && type != "cgroup2") continue;
    mounts.push_back(Mount{fields[3], fields[4], type, split(dash[3], ',')});
  }
  return mounts;
}

// The directory of group `path` (as /proc/self/cgroup names it) under a mount.
std::string group_dir(const Mount& mount, std::string_view path) {
  if (mount.root != "/" && path.starts_with(mount.root)) path.remove_prefix(mount.root.size());
  std::string dir(mount.point);
  if (path != "/" && !path.empty()) dir += path;
  return dir;
}

std::string parent_of(std::string_view path) {
  size_t slash = path.find_last_of('/');
  return slash == 0 || slash == std::string_view::npos ? "/" : std::string(path.substr(0, slash));
}

// This process's group in the hierarchy with `key` ("" for v2, else the
// controller list as /proc/self/cgroup shows it, e.g. "memory").
std::optional<std::string_view> own_group(std::string_view own_cgroups, std::string_view controller) {
  for (std::string_view line : split(own_cgroups, '\n')) {
    std::vector<std::string_view> fields = split(line, ':');
    if (fields.size() < 3) continue;
    std::string_view path = line.substr(fields[0].size() + fields[1].size() + 2);
    if (controller.empty() ? fields[0] == "0" && fields[1].empty() : contains(split(fields[1], ','), controller)) {
      return path;
    }
  }
  return std::nullopt;
}

std::vector<std::string> needed_names(const CgroupNeeds& needs) {
  std::vector<std::string> names;
  if (needs.pids) names.push_back("pids");
  if (needs.memory) names.push_back("memory");
  if (needs.cpu) names.push_back("cpu");
  return names;
}

std::optional<CgroupLayout> v2_layout(const std::vector<std::string>& names, const std::vector<Mount>& mounts,
                                      const CgroupHostView& host) {
  for (const Mount& mount : mounts) {
    if (mount.type != "cgroup2") continue;
    std::optional<std::string_view> own = own_group(host.own_cgroups, "");
    if (!own) return std::nullopt;
    // Where groups with controllers may be made: the root, or the parent of
    // the group we are in (which may not hold processes of its own).
    std::string parent = *own == "/" ? "/" : parent_of(*own);
    std::string dir = group_dir(mount, parent);
    std::optional<std::string> available = host.read_file(dir + "/cgroup.controllers");
    if (!available) return std::nullopt;
    while (!available->empty() && available->back() == '\n') available->pop_back();
    std::vector<std::string_view> have = split(*available, ' ');
    for (const std::string& name : names) {
      if (!contains(have, name)) return std::nullopt;
    }
    CgroupLayout layout;
    layout.version = CgroupVersion::kV2;
    layout.hierarchies.push_back({dir + "/" + std::string(kOurDir), names});
    layout.swap_accounting = host.read_file(dir + "/memory.swap.max").has_value() ||
                             host.read_file(group_dir(mount, *own) + "/memory.swap.max").has_value();
    return layout;
  }
  return std::nullopt;
}

std::optional<CgroupLayout> v1_layout(const std::vector<std::string>& names, const std::vector<Mount>& mounts,
                                      const CgroupHostView& host) {
  CgroupLayout layout;
  layout.version = CgroupVersion::kV1;
  std::vector<std::string> wanted = names;
  wanted.push_back("freezer");  // optional: stops a group before the kill
  for (const std::string& name : wanted) {
    auto mount = std::find_if(mounts.begin(), mounts.end(),
                              [&](const Mount& m) { return m.type == "cgroup" && contains(m.super_options, name); });
    std::optional<std::string_view> own = own_group(host.own_cgroups, name);
    if (mount == mounts.end() || !own) {
      if (name == "freezer") break;
      return std::nullopt;
    }
    std::string base = group_dir(*mount, *own) + "/" + std::string(kOurDir);
    // Controllers mounted together (cpu,cpuacct) share one directory.
    auto same = std::find_if(layout.hierarchies.begin(), layout.hierarchies.end(),
                             [&](const CgroupLayout::Hierarchy& h) { return h.base == base; });
    if (same != layout.hierarchies.end()) {
      same->controllers.push_back(name);
    } else {
      layout.hierarchies.push_back({base, {name}});
    }
    if (name == "memory") {
      layout.swap_accounting = host.read_file(group_dir(*mount, *own) + "/memory.memsw.limit_in_bytes").has_value();
    }
  }
  return layout;
}

}  // namespace

std::optional<std::string> read_host_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return text;
}

CgroupHostView this_host_cgroups() {
  return CgroupHostView{read_host_file("/proc/self/mountinfo").value_or(""),
                        read_host_file("/proc/self/cgroup").value_or(""), read_host_file};
}

CgroupLayoutResult find_cgroup_layout(const CgroupNeeds& needs, const CgroupHostView& host) {
  std::vector<std::string> names = needed_names(needs);
  std::vector<Mount> mounts = cgroup_mounts(host.mountinfo);
  if (auto v2 = v2_layout(names, mounts, host)) return {std::move(v2), ""};
  if (auto v1 = v1_layout(names, mounts, host)) return {std::move(v1), ""};
  std::string missing;
  for (const std::string& name : names) missing += (missing.empty() ? "the " : ", ") + name;
  return {std::nullopt, missing + " controller" + (names.size() > 1 ? "s" : "") + " of cgroup v2 or v1"};
}

}  // namespace marrowfen::pool
