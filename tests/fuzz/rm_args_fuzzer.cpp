// The rm argument parser on word lists decoded from the input: option
// spellings right and wrong, "--", lone dashes, "=values" and raw bytes.
// Every outcome must be either arguments taken from the words or a text that
// ends in a newline (an error, the help or the version), and rm itself must
// hand that text back behind "rm: ".
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/version.h"
#include "fs/filesystem.h"
#include "fuzz_input.h"
#include "terminal/arg_parser.h"
#include "terminal/commands.h"
#include "terminal/rm_args.h"

namespace {

using marrowfen::terminal::help_text;
using marrowfen::terminal::parse_rm_args;
using marrowfen::terminal::rm_command_decl;

constexpr std::string_view kWords[] = {
    "-r",
    "--recursive",
    "-h",
    "--help",
    "-V",
    "--version",
    "--",
    "-",
    "---",
    "-rr",
    "-rh",
    "-hr",
    "-rV",
    "-x",
    "-rx",
    "-R",
    "--force",
    "--recursiv",
    "--recursivee",
    "--rec",
    "--hel",
    "--versio",
    "--recursive=yes",
    "-r=1",
    "--help=",
    "--=",
    "--=x",
    "d",
    "f",
    "",
    " ",
    "-\xc3\xa9",
    "--r\xc3\xa9"
    "cursive",
    "-\xff",
    "--\xff\xfe",
    "-\xe2\x82",
};

std::string show_words(const std::vector<std::string>& words) {
  std::string s;
  for (const std::string& w : words) s += fuzz::show(w) + " ";
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  std::vector<std::string> words;
  while (!in.exhausted() && words.size() < 16) {
    uint8_t choice = in.byte();
    if (choice < 0xC0) {
      words.emplace_back(kWords[choice % std::size(kWords)]);
    } else {
      std::string raw = in.bytes(24);
      if (choice & 1) raw.insert(0, choice & 2 ? "--" : "-");
      words.push_back(std::move(raw));
    }
  }

  const std::vector<std::string_view> views(words.begin(), words.end());
  auto parsed = parse_rm_args(views);
  const std::string context = "words: " + show_words(words);
  if (parsed.ok()) {
    const std::string& target = parsed.value().target;
    bool from_words = false;
    for (const std::string& w : words) from_words = from_words || w == target;
    FUZZ_CHECK(from_words, context + "\n target " + fuzz::show(target) + " is none of them");
  } else {
    const std::string& text = parsed.error();
    FUZZ_CHECK(!text.empty() && text.back() == '\n', context + "\n text " + fuzz::show(text));
    const std::string version = "marrowfen " + std::string(marrowfen::kVersion) + "\n";
    const bool known = text.starts_with("error: ") || text == version || text == help_text(rm_command_decl());
    FUZZ_CHECK(known, context + "\n text " + fuzz::show(text));
    FUZZ_CHECK(!text.starts_with("error: ") || text.ends_with("\n\nFor more information, try '--help'.\n"),
               context + "\n text " + fuzz::show(text));
  }

  // rm itself, on an empty filesystem (only the root, which it refuses).
  if (!words.empty()) {
    marrowfen::terminal::TerminalContext ctx{0, marrowfen::fs::FileSystem::create()};
    auto result = marrowfen::terminal::cmd_rm(ctx, std::span<const std::string_view>(views));
    if (!parsed.ok())
      FUZZ_CHECK(!result.ok() && result.error() == "rm: " + parsed.error(),
                 context + "\n rm gave " + fuzz::show(result.ok() ? result.value() : result.error()));
    FUZZ_CHECK(ctx.cwd == 0 && ctx.fs->lookup(0), context + "\n the root is gone");
  }
  return 0;
}
