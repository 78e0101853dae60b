#include "terminal/split_words.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace marrowfen::terminal {
namespace {

using Words = std::vector<std::string>;

struct SplitCase {
  std::string line;
  Words words;
};

TEST(SplitWords, SplitsEveryRuleAsExpected) {
  const SplitCase cases[] = {
      // separators: space, tab, newline, in runs and at both ends
      {"", {}},
      {" \t\n  ", {}},
      {"  a \t b\nc  ", {"a", "b", "c"}},
      {"a\rb \r", {"a\rb", "\r"}},  // a carriage return is an ordinary byte
      // comments begin only where a word would
      {"# note", {}},
      {"ls # list the directory", {"ls"}},
      {"a#b", {"a#b"}},
      {"a #b c\nd", {"a", "d"}},
      {"#x\n#y", {}},
      {"# it's \"unclosed", {}},
      {"'#'x \\#y \"#\"", {"#x", "#y", "#"}},
      // backslash outside quotes
      {"a\\ b", {"a b"}},
      {"\\\\ \\' \\\" \\\t", {"\\", "'", "\"", "\t"}},
      {"a\\\nb", {"ab"}},
      {"a \\\nb", {"a", "b"}},
      {"\\\n", {}},
      {"\\\n#comment", {}},
      // single quotes keep everything, backslashes included
      {"'it''s'", {"its"}},
      {"'a\\b' 'x \" # y'", {"a\\b", "x \" # y"}},
      {"'a\nb'", {"a\nb"}},
      // double quotes: four escapes, backslash-newline, other backslashes kept
      {"ab\" c\"d", {"ab cd"}},
      {"\"a\\qb\"", {"a\\qb"}},
      {"\"\\$\\`\\\"\\\\\"", {"$`\"\\"}},
      {"\"a\\\nb\"", {"ab"}},
      {"\"a\nb\" \"'\" '\"'", {"a\nb", "'", "\""}},
      // more words than are kept in place, some put together from pieces
      {"1 2 3 4 5 6 7 8 9 'ten' e\\leven tw\"el\"ve",
       {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten", "eleven", "twelve"}},
      // empty quoted words
      {"''", {""}},
      {"\"\"", {""}},
      {"a '' \"\" b", {"a", "", "", "b"}},
      {"''\"\"", {""}},
      {"a'' \"\"b", {"a", "b"}},
      // UTF-8, even invalid, passes through unchanged
      {"écho 'naïve café' \"日本\"\\ 語", {"écho", "naïve café", "日本 語"}},
      {"\xff\xfe '\xc3'", {"\xff\xfe", "\xc3"}},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.line);
    auto words = split_words(c.line);
    ASSERT_TRUE(words.ok());
    EXPECT_EQ(words.value(), c.words);
  }
}

TEST(SplitWords, RejectsTheWholeLineOnAnyError) {
  const std::pair<std::string, SplitError> cases[] = {
      {"\\", SplitError::TrailingBackslash},         {"abc\\", SplitError::TrailingBackslash},
      {"a b \\", SplitError::TrailingBackslash},     {"'abc", SplitError::UnclosedSingleQuote},
      {"a b 'c d", SplitError::UnclosedSingleQuote}, {"'it's'", SplitError::UnclosedSingleQuote},
      {"\"abc", SplitError::UnclosedDoubleQuote},    {"a \"b\\\"", SplitError::UnclosedDoubleQuote},
      {"\"abc\\", SplitError::UnclosedDoubleQuote},
  };
  for (const auto& [line, error] : cases) {
    SCOPED_TRACE(line);
    auto words = split_words(line);
    ASSERT_FALSE(words.ok());
    EXPECT_EQ(words.error(), error);
  }
}

}  // namespace
}  // namespace marrowfen::terminal
