#include "terminal/rm_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/version.h"
#include "script.h"

namespace marrowfen::terminal {
namespace {

using testing::fail;

struct ParseCase {
  std::vector<std::string_view> words;
  bool recursive;
  std::string target;
};

TEST(RmArgs, ParsesFlagsAndTargetInAnyOrder) {
  const ParseCase cases[] = {
      {{"d"}, false, "d"},
      {{"-r", "d"}, true, "d"},
      {{"d", "-r"}, true, "d"},
      {{"--recursive", "d"}, true, "d"},
      {{"--", "-r"}, false, "-r"},  // "--" ends the options
      {{"-r", "--", "-x"}, true, "-x"},
      {{"--", "--"}, false, "--"},
      {{"-"}, false, "-"},  // a lone dash is a positional
      {{""}, false, ""},
      {{"dossier-é"}, false, "dossier-é"},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.words));
    auto args = parse_rm_args(c.words);
    ASSERT_TRUE(args.ok()) << args.error();
    EXPECT_EQ(args.value().recursive, c.recursive);
    EXPECT_EQ(args.value().target, c.target);
  }
}

constexpr std::string_view kMoreInfo = "\nFor more information, try '--help'.\n";
constexpr std::string_view kHelp =
    "rm: Remove a file or a directory (potentially recursive)\n"
    "\n"
    "Usage: marrowfen [OPTIONS] <TARGET>\n"
    "\n"
    "Arguments:\n"
    "  <TARGET>  \n"
    "\n"
    "Options:\n"
    "  -r, --recursive  \n"
    "  -h, --help       Print help\n"
    "  -V, --version    Print version\n";

std::string unexpected(std::string_view word, std::string_view usage) {
  return "rm: error: unexpected argument '" + std::string(word) + "' found\n\n  tip: to pass '" + std::string(word) +
         "' as a value, use '-- " + std::string(word) + "'\n\n" + std::string(usage) + "\n" + std::string(kMoreInfo);
}

TEST(RmArgs, ReturnsTheParserTextsThroughRm) {
  SimpleTerminal term(fs::FileSystem::create());
  const std::string missing = "rm: error: the following required arguments were not provided:\n  <TARGET>\n\n";
  const std::string repeated =
      "rm: error: the argument '--recursive' cannot be used multiple times\n\n"
      "Usage: marrowfen [OPTIONS] <TARGET>\n" +
      std::string(kMoreInfo);
  const std::string flag_value =
      "rm: error: unexpected value '1' for '--recursive' found; no more were expected\n\n"
      "Usage: marrowfen [OPTIONS] <TARGET>\n" +
      std::string(kMoreInfo);
  const std::string general = "Usage: marrowfen [OPTIONS] <TARGET>";
  auto similar = [](std::string_view word, std::string_view name) {
    return "rm: error: unexpected argument '" + std::string(word) + "' found\n\n  tip: a similar argument exists: '--" +
           std::string(name) + "'\n\nUsage: marrowfen --" + std::string(name) + " <TARGET>\n" + std::string(kMoreInfo);
  };
  const std::string extra = "rm: error: unexpected argument 'b' found\n\nUsage: marrowfen";
  const std::string version = "rm: marrowfen " + std::string(kVersion) + "\n";

  testing::run_script(term,
                      {
                          fail("rm -r", missing + "Usage: marrowfen --recursive <TARGET>\n" + std::string(kMoreInfo)),
                          fail("rm --", missing + "Usage: marrowfen <TARGET>\n" + std::string(kMoreInfo)),
                          fail("rm -x d", unexpected("-x", general)),
                          fail("rm --force d", unexpected("--force", general)),
                          fail("rm -rx d", unexpected("-x", general)),  // unknown letter inside a cluster
                          fail("rm -é d", unexpected("-é", general)),   // a whole character, not a byte
                          fail("rm --=x d", unexpected("--=x", general)),
                          fail("rm a b -x", extra + " <TARGET>\n" + std::string(kMoreInfo)),  // the first fault wins
                          fail("rm -r a b", extra + " --recursive <TARGET>\n" + std::string(kMoreInfo)),
                          fail("rm --recursiv d", similar("--recursiv", "recursive")),
                          fail("rm --verison", similar("--verison", "version")),
                          fail("rm -r -r d", repeated),
                          fail("rm -rr d", repeated),
                          fail("rm --recursive=1 d", flag_value),
                          fail("rm -r=1 d", flag_value),
                          fail("rm -V", version),
                          fail("rm d --version -x", version),
                          fail("rm -h", kHelp),
                          fail("rm --help", kHelp),
                          fail("rm -rh", kHelp),
                          fail("rm -x -h", unexpected("-x", general)),
                      });
}

}  // namespace
}  // namespace marrowfen::terminal
