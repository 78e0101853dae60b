// The word splitter against a plain reference of the quoting rules, on the
// raw input and on a line built from a small grammar of the characters that
// matter (blanks, quotes, backslashes, hash signs, line feeds) and a few that
// must pass through (a carriage return, '$', '`', multi-byte UTF-8). Every
// line that splits is also echoed through the terminal, whose answer must be
// the words joined by single blanks.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fs/filesystem.h"
#include "fuzz_input.h"
#include "terminal/simple_terminal.h"
#include "terminal/split_words.h"

namespace {

using marrowfen::terminal::SplitError;
using Words = std::vector<std::string>;

// What a line gives: its words, or the error that ends it.
struct Outcome {
  bool ok = true;
  Words words;
  SplitError error{};
};

Outcome failed(SplitError e) {
  Outcome o;
  o.ok = false;
  o.error = e;
  return o;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// The reference: reads the line as a sequence of words, each a run of
// pieces up to an unquoted blank. Written as a scan over positions, apart
// from the state machine under test.
Outcome reference_split(std::string_view s) {
  Outcome out;
  size_t i = 0;
  const size_t n = s.size();
  for (;;) {
    // Blanks, and line continuations, where a word would begin.
    while (i < n && (is_blank(s[i]) || (s[i] == '\\' && i + 1 < n && s[i + 1] == '\n'))) i += is_blank(s[i]) ? 1 : 2;
    if (i == n) return out;
    if (s[i] == '#') {  // a comment runs to the line feed, which is a blank
      while (i < n && s[i] != '\n') ++i;
      continue;
    }
    std::string word;
    while (i < n && !is_blank(s[i])) {
      const char c = s[i];
      if (c == '\\') {
        if (i + 1 == n) return failed(SplitError::TrailingBackslash);
        if (s[i + 1] != '\n') word += s[i + 1];
        i += 2;
      } else if (c == '\'') {
        const size_t close = s.find('\'', i + 1);
        if (close == std::string_view::npos) return failed(SplitError::UnclosedSingleQuote);
        word.append(s.substr(i + 1, close - i - 1));
        i = close + 1;
      } else if (c == '"') {
        ++i;
        for (;;) {
          if (i == n) return failed(SplitError::UnclosedDoubleQuote);
          if (s[i] == '"') {
            ++i;
            break;
          }
          if (s[i] != '\\') {
            word += s[i++];
            continue;
          }
          if (i + 1 == n) return failed(SplitError::UnclosedDoubleQuote);
          const char e = s[i + 1];
          if (e == '$' || e == '`' || e == '"' || e == '\\') {
            word += e;
          } else if (e != '\n') {
            word += '\\';
            word += e;
          }
          i += 2;
        }
      } else {
        word += c;
        ++i;
      }
    }
    out.words.push_back(std::move(word));
  }
}

std::string show_words(const Words& words) {
  std::string s = "[";
  for (const std::string& w : words) s += (s.size() > 1 ? ", " : "") + fuzz::show(w);
  return s + "]";
}

std::string show_outcome(const Outcome& o) {
  if (o.ok) return show_words(o.words);
  return "error " + std::to_string(static_cast<int>(o.error));
}

void check_line(std::string_view line) {
  auto actual = marrowfen::terminal::split_words(line);
  Outcome got;
  got.ok = actual.ok();
  if (got.ok) {
    got.words = actual.value();
  } else {
    got.error = actual.error();
  }
  const Outcome expected = reference_split(line);
  FUZZ_CHECK(got.ok == expected.ok && (got.ok ? got.words == expected.words : got.error == expected.error),
             "line " + fuzz::show(line) + "\n split: " + show_outcome(got) + "\n reference: " + show_outcome(expected));

  // "echo " leaves the splitter between words, so the rest splits as alone.
  static marrowfen::terminal::SimpleTerminal terminal(marrowfen::fs::FileSystem::create());
  auto echoed = terminal.run("echo " + std::string(line));
  if (expected.ok) {
    std::string joined;
    for (size_t k = 0; k < expected.words.size(); ++k) joined += (k ? " " : "") + expected.words[k];
    FUZZ_CHECK(echoed.ok() && echoed.value() == joined,
               "echo " + fuzz::show(line) + " gave " + fuzz::show(echoed.ok() ? echoed.value() : echoed.error()));
  } else {
    FUZZ_CHECK(!echoed.ok() && echoed.error() == "The command was not correctly formatted",
               "echo " + fuzz::show(line) + " gave " + fuzz::show(echoed.ok() ? echoed.value() : echoed.error()));
  }
}

// Pieces of lines: each byte of the input picks one.
constexpr std::string_view kPieces[] = {
    " ",       "\t",      "\n",      "  ",       "a",     "b",     "\xc3\xa9", "\r",      "#",        "$",
    "`",       "\\",      "\\\\",    "\\ ",      "\\\n",  "\\#",   "\\'",      "\\\"",    "\\$",      "'",
    "''",      "'a b'",   "'\\'",    "'\"'",     "'#'",   "\"",    "\"\"",     "\"a b\"", "\"\\\"\"", "\"\\\\\"",
    "\"\\$\"", "\"\\`\"", "\"\\q\"", "\"\\\n\"", "\"'\"", "\"#\"", "\"\\\"",   "# x\n",   "#",
};

std::string grammar_line(fuzz::Input& in) {
  std::string line;
  while (!in.exhausted() && line.size() < 512) line += in.pick(kPieces);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_line(std::string_view(reinterpret_cast<const char*>(data), size));
  fuzz::Input in(data, size);
  check_line(grammar_line(in));
  return 0;
}
