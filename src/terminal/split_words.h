// Splits one command line into words with shell-like quoting: blanks
// separate words, '#' at the start of a word begins a comment, backslash
// escapes, single quotes take everything literally, double quotes honour four
// escapes. Only ASCII bytes are special, so UTF-8 passes through untouched.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace marrowfen::terminal {

enum class SplitError {
  TrailingBackslash,         // a backslash outside quotes ends the line
  UnclosedSingleQuote,
  UnclosedDoubleQuote,       // also when the line ends right after a backslash inside
};

// All the words of `line`, or the first error (no partial result).
Result<std::vector<std::string>, SplitError> split_words(std::string_view line);

}  // namespace marrowfen::terminal
