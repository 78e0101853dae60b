#include "terminal/rm_args.h"

namespace marrowfen::terminal {

namespace {

constexpr FlagSpec kRmFlags[] = {
    {'r', "recursive", ""},
};
constexpr PositionalSpec kRmPositionals[] = {
    {"TARGET", true, ""},
};
constexpr CommandSpec kRmSpec{
    "marrowfen",
    "0.1.3",
    "Remove a file or a directory (potentially recursive)",
    kRmFlags,
    kRmPositionals,
};

}  // namespace

const CommandSpec& rm_command_spec() { return kRmSpec; }

Result<RmArgs, ParserExit> parse_rm_args(std::span<const std::string> words) {
  MF_TRY_ASSIGN(ParsedArgs parsed, parse_args(kRmSpec, words));
  return RmArgs{parsed.flags[0], std::move(*parsed.positionals[0])};
}

}  // namespace marrowfen::terminal
