// Looking up the numeric id of a host account with `id -u NAME`.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/error.h"
#include "base/result.h"

namespace marrowfen::pool {

// The account's uid, or nothing when `id` fails (no such account) or prints
// something that is not a uid. The error is output that is not UTF-8. An `id`
// that cannot be run is an internal error.
Result<std::optional<uint32_t>, Error> find_userid(std::string_view name);

// find_userid, its error a (bare) warning line and then nothing.
std::optional<uint32_t> userid(std::string_view name);

// The uid in `id`'s output: its first line (one carriage return before the
// line feed dropped) as an unsigned 32-bit decimal, with an optional leading
// '+' and nothing else.
std::optional<uint32_t> parse_uid_line(std::string_view output);

}  // namespace marrowfen::pool
