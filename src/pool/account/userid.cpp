#include "pool/account/userid.h"

#include <string>
#include <vector>

#include "base/panic.h"
#include "base/utf8.h"
#include "base/warning.h"
#include "pool/process/host_command.h"

namespace marrowfen::pool {

std::optional<uint32_t> parse_uid_line(std::string_view output) {
  std::string_view line = output.substr(0, output.find('\n'));
  if (line.size() < output.size() && !line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (!line.empty() && line.front() == '+') line.remove_prefix(1);
  if (line.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : line) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > UINT32_MAX) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

Result<std::optional<uint32_t>, Error> find_userid(std::string_view name) {
  auto ran = run_host_command({"id", "-u", std::string(name)});
  if (!ran) panic(std::move(ran).error().within("Failed to execute the command `id`").message());
  const CommandOutput& output = ran.value();
  if (!output.success()) return Ok<std::optional<uint32_t>>{std::nullopt};
  if (!is_valid_utf8(output.stdout_bytes)) {
    return Error::text("Failed to convert the result back to a valid utf-8 string");
  }
  return Ok<std::optional<uint32_t>>{parse_uid_line(output.stdout_bytes)};
}

std::optional<uint32_t> userid(std::string_view name) {
  auto found = find_userid(name);
  if (found) return found.value();
  warn(found.error(), WarningMark::kBare);
  return std::nullopt;
}

}  // namespace marrowfen::pool
