// The pool's warning lines: an error it goes on after, written straight to
// file descriptor 2 so that the line neither waits in a stdio buffer nor goes
// through Python's sys.stderr. Every warning the pool writes goes through
// warn().
#pragma once

#include <string_view>

#include "base/error.h"

namespace marrowfen {

// What a warning line starts with. The first warnings the pool had (useradd's
// failure, `id` output that is not UTF-8) are bare; every later one is marked.
inline constexpr std::string_view kWarningMark = "⚠️ ";
enum class WarningMark { kMarked, kBare };

// Writes the mark (unless kBare), the error's message and a line feed, in one
// write where possible. Failures are ignored: a warning has nowhere else to go.
void warn(const Error& error, WarningMark mark = WarningMark::kMarked) noexcept;

}  // namespace marrowfen
