#include "terminal/split_words.h"

namespace marrowfen::terminal {

namespace {

enum class State {
  Between,        // where a word would begin
  Comment,        // skipping to the end of the line
  Word,           // inside an unquoted part of a word
  EscapeBetween,  // after a backslash where a word would begin
  EscapeInWord,   // after a backslash inside a word
  Single,         // inside single quotes
  Double,         // inside double quotes
  DoubleEscape,   // after a backslash inside double quotes
};

bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Inside double quotes a backslash escapes only these; before anything else
// it stands for itself.
bool escapable_in_double_quotes(char c) { return c == '$' || c == '`' || c == '"' || c == '\\'; }

}  // namespace

Result<std::vector<std::string>, SplitError> split_words(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  State state = State::Between;

  for (char c : line) {
    switch (state) {
      case State::Between:
        if (is_separator(c)) break;
        if (c == '#') {
          state = State::Comment;
        } else if (c == '\\') {
          state = State::EscapeBetween;
        } else if (c == '\'') {
          state = State::Single;
        } else if (c == '"') {
          state = State::Double;
        } else {
          word.push_back(c);
          state = State::Word;
        }
        break;
      case State::Comment:
        if (c == '\n') state = State::Between;
        break;
      case State::Word:
        if (is_separator(c)) {
          words.push_back(std::move(word));
          word.clear();
          state = State::Between;
        } else if (c == '\\') {
          state = State::EscapeInWord;
        } else if (c == '\'') {
          state = State::Single;
        } else if (c == '"') {
          state = State::Double;
        } else {
          word.push_back(c);
        }
        break;
      case State::EscapeBetween:
        // A line continuation before any word starts none.
        if (c != '\n') word.push_back(c);
        state = c == '\n' ? State::Between : State::Word;
        break;
      case State::EscapeInWord:
        if (c != '\n') word.push_back(c);
        state = State::Word;
        break;
      case State::Single:
        if (c == '\'') {
          state = State::Word;
        } else {
          word.push_back(c);
        }
        break;
      case State::Double:
        if (c == '"') {
          state = State::Word;
        } else if (c == '\\') {
          state = State::DoubleEscape;
        } else {
          word.push_back(c);
        }
        break;
      case State::DoubleEscape:
        if (!escapable_in_double_quotes(c) && c != '\n') word.push_back('\\');
        if (c != '\n') word.push_back(c);
        state = State::Double;
        break;
    }
  }

  switch (state) {
    case State::Between:
    case State::Comment:
      break;
    case State::Word:
      words.push_back(std::move(word));
      break;
    case State::EscapeBetween:
    case State::EscapeInWord:
      return err(SplitError::TrailingBackslash);
    case State::Single:
      return err(SplitError::UnclosedSingleQuote);
    case State::Double:
    case State::DoubleEscape:
      return err(SplitError::UnclosedDoubleQuote);
  }
  return words;
}

}  // namespace marrowfen::terminal
