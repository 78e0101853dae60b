// Splits one command line into words with shell-like quoting: blanks
// separate words, '#' at the start of a word begins a comment, backslash
// escapes, single quotes take everything literally, double quotes honour four
// escapes. Only ASCII bytes are special, so UTF-8 passes through untouched.
#pragma once

#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace marrowfen::terminal {

enum class SplitError {
  TrailingBackslash,  // a backslash outside quotes ends the line
  UnclosedSingleQuote,
  UnclosedDoubleQuote,  // also when the line ends right after a backslash inside
};

// The words of one command line, as views. A word that is one stretch of the
// line (no escape, or one quoted part alone) is viewed in the line itself,
// which must outlive the words; the others are put together in a buffer of
// their own. Up to eight words are kept in place, so that splitting most
// lines allocates nothing. The views point into the object: it cannot be
// copied or moved.
class Words {
 public:
  Words() {}  // the views in `few_` are set as they are used
  Words(const Words&) = delete;
  Words& operator=(const Words&) = delete;

  std::span<const std::string_view> span() const {
    return more_.empty() ? std::span<const std::string_view>(few_, count_) : std::span<const std::string_view>(more_);
  }

 private:
  friend class Splitter;
  void push_back(std::string_view word) {
    if (count_ < kFew) {
      new (&few_[count_++]) std::string_view(word);
    } else {
      push_back_beyond_few(word);
    }
  }
  void push_back_beyond_few(std::string_view word);

  static constexpr size_t kFew = 8;
  union {
    std::string_view few_[kFew];
  };
  size_t count_ = 0;
  std::vector<std::string_view> more_;  // all of them, once there are more than eight
  // The words that had to be put together. It is made as large as the line
  // on first use, which no total of such words exceeds, so it never moves.
  std::string built_;
};

// All the words of `line` into `words` (which must be empty), or the first
// error, with `words` then holding nothing useful.
std::optional<SplitError> split_words_into(std::string_view line, Words& words);

// The same as a list of strings of their own.
Result<std::vector<std::string>, SplitError> split_words(std::string_view line);

}  // namespace marrowfen::terminal
