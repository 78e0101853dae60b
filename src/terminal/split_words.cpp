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

// A character that only adds itself to an unquoted word.
bool is_plain(char c) { return !is_separator(c) && c != '\\' && c != '\'' && c != '"'; }

// Inside double quotes a backslash escapes only these; before anything else
// it stands for itself.
bool escapable_in_double_quotes(char c) { return c == '$' || c == '`' || c == '"' || c == '\\'; }

}  // namespace

// Collects the current word from stretches of the line: while they follow
// one another the word is a view of the line; once one does not (a quote or
// a backslash was left out between them), the word is copied into the
// buffer and goes on there.
class Splitter {
 public:
  Splitter(std::string_view line, Words& words) : line_(line), words_(words) {}

  std::optional<SplitError> run();

 private:
  void take(const char* from, const char* to) {
    if (building_) {
      words_.built_.append(from, to);
    } else if (!start_) {
      start_ = from;
      end_ = to;
    } else if (from == end_) {
      end_ = to;
    } else {
      if (words_.built_.capacity() < line_.size()) words_.built_.reserve(line_.size());
      built_from_ = words_.built_.size();
      words_.built_.append(start_, end_).append(from, to);
      building_ = true;
    }
  }

  // Takes the run of characters from `p` on for which `keep` holds; returns
  // where it ends.
  template <class Keep>
  const char* take_run(const char* p, const char* end, Keep keep) {
    const char* run = p;
    while (p < end && keep(*p)) ++p;
    take(run, p);
    return p;
  }

  void end_word() {
    const std::string& built = words_.built_;
    words_.push_back(building_ ? std::string_view(built.data() + built_from_, built.size() - built_from_)
                               : std::string_view(start_, static_cast<size_t>(end_ - start_)));
    start_ = end_ = nullptr;
    building_ = false;
  }

  std::string_view line_;
  Words& words_;
  const char* start_ = nullptr;  // the word as a view of the line
  const char* end_ = nullptr;
  bool building_ = false;  // the word is in the buffer instead, from built_from_
  size_t built_from_ = 0;
};

std::optional<SplitError> Splitter::run() {
  State state = State::Between;
  const char* p = line_.data();
  const char* const end = p + line_.size();

  while (p < end) {
    char c = *p;
    switch (state) {
      case State::Between:
        ++p;
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
          p = take_run(p - 1, end, is_plain);
          state = State::Word;
        }
        break;
      case State::Comment:
        ++p;
        if (c == '\n') state = State::Between;
        break;
      case State::Word:
        if (is_plain(c)) {
          p = take_run(p, end, is_plain);
          break;
        }
        ++p;
        if (is_separator(c)) {
          end_word();
          state = State::Between;
        } else if (c == '\\') {
          state = State::EscapeInWord;
        } else if (c == '\'') {
          state = State::Single;
        } else {
          state = State::Double;
        }
        break;
      case State::EscapeBetween:
        ++p;
        // A line continuation before any word starts none.
        if (c != '\n') take(p - 1, p);
        state = c == '\n' ? State::Between : State::Word;
        break;
      case State::EscapeInWord:
        ++p;
        if (c != '\n') take(p - 1, p);
        state = State::Word;
        break;
      case State::Single:
        if (c == '\'') {
          ++p;
          state = State::Word;
        } else {
          p = take_run(p, end, [](char d) { return d != '\''; });
        }
        break;
      case State::Double:
        if (c == '"') {
          ++p;
          state = State::Word;
        } else if (c == '\\') {
          ++p;
          state = State::DoubleEscape;
        } else {
          p = take_run(p, end, [](char d) { return d != '"' && d != '\\'; });
        }
        break;
      case State::DoubleEscape:
        ++p;
        // Kept with its backslash (the two bytes just read) unless it is
        // one of the four escapes.
        if (c != '\n') take(escapable_in_double_quotes(c) ? p - 1 : p - 2, p);
        state = State::Double;
        break;
    }
  }

  switch (state) {
    case State::Between:
    case State::Comment: return std::nullopt;
    case State::Word: end_word(); return std::nullopt;
    case State::EscapeBetween:
    case State::EscapeInWord: return SplitError::TrailingBackslash;
    case State::Single: return SplitError::UnclosedSingleQuote;
    case State::Double:
    case State::DoubleEscape: return SplitError::UnclosedDoubleQuote;
  }
  return std::nullopt;
}

void Words::push_back_beyond_few(std::string_view word) {
  if (more_.empty()) {
    more_.reserve(2 * kFew);
    more_.assign(few_, few_ + kFew);
  }
  more_.push_back(word);
}

std::optional<SplitError> split_words_into(std::string_view line, Words& words) { return Splitter(line, words).run(); }

Result<std::vector<std::string>, SplitError> split_words(std::string_view line) {
  Words words;
  if (std::optional<SplitError> error = split_words_into(line, words)) return err(*error);
  std::span<const std::string_view> views = words.span();
  return std::vector<std::string>(views.begin(), views.end());
}

}  // namespace marrowfen::terminal
