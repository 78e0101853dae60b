#include "terminal/rm_args.h"

#include "base/version.h"

namespace marrowfen::terminal {

namespace {

constexpr FlagDecl kRmFlags[] = {
    {'r', "recursive", ""},
};
constexpr PositionalDecl kRmPositionals[] = {
    {"TARGET", true, ""},
};
constexpr CommandDecl kRmDecl{
    "marrowfen", kVersion, "Remove a file or a directory (potentially recursive)", kRmFlags, kRmPositionals,
};

}  // namespace

const CommandDecl& rm_command_decl() { return kRmDecl; }

Result<RmArgs, std::string> parse_rm_args(std::span<const std::string_view> words) {
  MF_TRY_ASSIGN(ParsedArgs parsed, parse_args(kRmDecl, words));
  // The target is required: a parse without it failed above.
  // NOLINTNEXTLINE(bugprone-unchecked-optional-access)
  return RmArgs{parsed.flags[0], std::move(*parsed.positionals[0])};
}

}  // namespace marrowfen::terminal
