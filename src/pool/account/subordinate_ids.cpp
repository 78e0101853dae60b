#include "pool/account/subordinate_ids.h"

#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>

#include "base/utf8.h"
#include "pool/process/host_command.h"

namespace marrowfen::pool {
namespace {

bool parse_number(std::string_view text, uint64_t& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// The file's text; empty when it does not exist.
Result<std::string, Error> read_id_file(const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    if (errno == ENOENT) return Ok<std::string>{std::string()};
    return Error::os(errno, path);
  }
  std::stringstream text;
  text << file.rdbuf();
  return Ok<std::string>{text.str()};
}

std::vector<std::string> range_arguments(const std::vector<IdRange>& ranges, const char* option) {
  std::vector<std::string> args;
  for (const IdRange& r : ranges) {
    if (r.count == 0) continue;
    args.push_back(option);
    args.push_back(std::to_string(r.first) + "-" + std::to_string(r.first + r.count - 1));
  }
  return args;
}

}  // namespace

std::vector<IdRange> ranges_of(std::string_view text, const std::string& name, uint32_t uid) {
  std::vector<IdRange> ranges;
  const std::string uid_text = std::to_string(uid);
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    size_t first_colon = line.find(':');
    size_t second_colon = line.find(':', first_colon == std::string_view::npos ? line.size() : first_colon + 1);
    if (second_colon == std::string_view::npos) continue;
    std::string_view owner = line.substr(0, first_colon);
    if (owner != name && owner != uid_text) continue;
    IdRange range{std::string(owner), 0, 0};
    if (!parse_number(line.substr(first_colon + 1, second_colon - first_colon - 1), range.first) ||
        !parse_number(line.substr(second_colon + 1), range.count)) {
      continue;
    }
    ranges.push_back(std::move(range));
  }
  return ranges;
}

Result<void, Error> remove_subordinate_ids(const std::string& name, uint32_t uid, const SubordinateIdFiles& files) {
  MF_TRY_ASSIGN(std::string subuid, read_id_file(files.subuid));
  MF_TRY_ASSIGN(std::string subgid, read_id_file(files.subgid));
  std::vector<IdRange> uids = ranges_of(subuid, name, uid);
  std::vector<IdRange> gids = ranges_of(subgid, name, uid);
  if (uids.empty() && gids.empty()) return {};  // the usual case after the first hand-out: no command

  std::vector<std::string> argv = {"usermod"};
  for (std::string& arg : range_arguments(uids, "--del-subuids")) argv.push_back(std::move(arg));
  for (std::string& arg : range_arguments(gids, "--del-subgids")) argv.push_back(std::move(arg));
  argv.push_back(name);
  auto ran = run_host_command(argv);
  if (!ran) return std::move(ran).error().within("`usermod`");
  if (!ran.value().success()) {
    std::string complaint = utf8_or_empty(std::move(ran.value().stderr_bytes));
    while (!complaint.empty() && (complaint.back() == '\n' || complaint.back() == '\r')) complaint.pop_back();
    return Error::text("`usermod` failed (" + complaint + ")");
  }
  // A range listed under the uid is not usermod's to remove: say so.
  MF_TRY_ASSIGN(std::string subuid_after, read_id_file(files.subuid));
  MF_TRY_ASSIGN(std::string subgid_after, read_id_file(files.subgid));
  if (!ranges_of(subuid_after, name, uid).empty()) return Error::text(files.subuid + " still gives it a range");
  if (!ranges_of(subgid_after, name, uid).empty()) return Error::text(files.subgid + " still gives it a range");
  return {};
}

}  // namespace marrowfen::pool
