// Looking up the numeric id of a host account with `id -u NAME`.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace marrowfen::pool {

// The account's uid, or nothing when `id` fails or prints something that is
// not a uid. An `id` that cannot be run is an internal error. Output that is
// not UTF-8 prints a warning line.
std::optional<uint32_t> userid(std::string_view name);

// The uid in `id`'s output: its first line (one carriage return before the
// line feed dropped) as an unsigned 32-bit decimal, with an optional leading
// '+' and nothing else.
std::optional<uint32_t> parse_uid_line(std::string_view output);

}  // namespace marrowfen::pool
