#include "terminal/arg_parser.h"

#include <algorithm>

#include "base/utf8.h"
#include "terminal/jaro.h"

namespace marrowfen::terminal {

namespace {

constexpr FlagDecl kHelpFlag{'h', "help", "Print help"};
constexpr FlagDecl kVersionFlag{'V', "version", "Print version"};
// A misspelt long option is offered the closest long name above this.
constexpr double kSuggestionThreshold = 0.7;

// The command's own flags followed by help and version, by one index.
class FlagList {
 public:
  explicit FlagList(const CommandDecl& decl) : own_(decl.flags) {}
  size_t size() const { return own_.size() + 2; }
  const FlagDecl& operator[](size_t i) const {
    if (i < own_.size()) return own_[i];
    return i == own_.size() ? kHelpFlag : kVersionFlag;
  }
  bool is_help(size_t i) const { return i == own_.size(); }
  bool is_version(size_t i) const { return i == own_.size() + 1; }

  std::optional<size_t> find_long(std::string_view name) const {
    for (size_t i = 0; i < size(); ++i)
      if ((*this)[i].long_name == name) return i;
    return std::nullopt;
  }
  std::optional<size_t> find_short(std::string_view letter) const {
    for (size_t i = 0; i < size(); ++i) {
      char s = (*this)[i].short_name;
      if (s != '\0' && letter.size() == 1 && letter[0] == s) return i;
    }
    return std::nullopt;
  }
  // The long name most similar to `name`, if similar enough; ties go to the
  // flag declared first.
  std::optional<size_t> most_similar_long(std::string_view name) const {
    std::optional<size_t> best;
    double best_score = kSuggestionThreshold;
    for (size_t i = 0; i < size(); ++i) {
      double score = jaro_similarity(name, (*this)[i].long_name);
      if (score > best_score) {
        best_score = score;
        best = i;
      }
    }
    return best;
  }

 private:
  std::span<const FlagDecl> own_;
};

std::string flag_spelling(const FlagDecl& flag) {
  std::string s = flag.short_name ? std::string{'-', flag.short_name, ','} : std::string("   ");
  s += " --";
  s += flag.long_name;
  return s;
}

std::string positional_spelling(const PositionalDecl& p) {
  std::string s(1, p.required ? '<' : '[');
  s += p.value_name;
  s += p.required ? '>' : ']';
  return s;
}

// "Usage: name [OPTIONS] <A> [B]"
std::string general_usage(const CommandDecl& decl) {
  std::string usage = "Usage: ";
  usage += decl.name;
  usage += " [OPTIONS]";
  for (const PositionalDecl& p : decl.positionals) usage += " " + positional_spelling(p);
  return usage;
}

// Two columns, the second starting two spaces after the longest first one.
void append_aligned(std::string& out, const std::vector<std::string>& left,
                    const std::vector<std::string_view>& right) {
  size_t width = 0;
  for (const std::string& l : left) width = std::max(width, l.size());
  for (size_t i = 0; i < left.size(); ++i) {
    out += "  ";
    out += left[i];
    out.append(width + 2 - left[i].size(), ' ');
    out += right[i];
    out += '\n';
  }
}

class Parser {
 public:
  explicit Parser(const CommandDecl& decl)
      : decl_(decl), flags_(decl), seen_(flags_.size(), false), positionals_(decl.positionals.size()) {}

  Result<ParsedArgs, std::string> run(std::span<const std::string_view> words) {
    bool options_ended = false;
    for (std::string_view word : words) {
      std::optional<std::string> stop_text;
      if (!options_ended && word == "--") {
        options_ended = true;
      } else if (!options_ended && word.starts_with("--")) {
        stop_text = long_option(word);
      } else if (!options_ended && word.size() > 1 && word[0] == '-') {
        stop_text = short_cluster(word);
      } else {
        stop_text = positional(word);
      }
      if (stop_text) return err(std::move(*stop_text));
    }

    std::string missing;
    for (size_t i = 0; i < positionals_.size(); ++i)
      if (decl_.positionals[i].required && !positionals_[i])
        missing += "\n  " + positional_spelling(decl_.positionals[i]);
    if (!missing.empty())
      return err(error("the following required arguments were not provided:" + missing, "", usage_so_far(seen_)));

    ParsedArgs args;
    auto own_flags_end = seen_.begin() + static_cast<std::ptrdiff_t>(decl_.flags.size());
    args.flags.assign(seen_.begin(), own_flags_end);
    args.positionals = std::move(positionals_);
    return args;
  }

 private:
  std::optional<std::string> long_option(std::string_view word) {
    std::string_view body = word.substr(2);
    size_t eq = body.find('=');
    std::string_view name = body.substr(0, eq);
    std::optional<size_t> flag = flags_.find_long(name);
    if (!flag) return unknown_long(word, name);
    if (eq != std::string_view::npos) return unexpected_value(*flag, body.substr(eq + 1));
    return set_flag(*flag);
  }

  std::optional<std::string> short_cluster(std::string_view word) {
    for (size_t pos = 1; pos < word.size();) {
      size_t len = decode_utf8_step(word, pos).length;
      std::string_view letter = word.substr(pos, len);
      pos += len;
      std::optional<size_t> flag = flags_.find_short(letter);
      if (!flag) {
        std::string shown = "-" + std::string(letter);
        return error("unexpected argument '" + shown + "' found", value_tip(shown), general_usage(decl_));
      }
      if (pos < word.size() && word[pos] == '=') return unexpected_value(*flag, word.substr(pos + 1));
      if (auto stop_text = set_flag(*flag)) return stop_text;
    }
    return std::nullopt;
  }

  std::optional<std::string> positional(std::string_view word) {
    for (std::optional<std::string>& slot : positionals_) {
      if (!slot) {
        slot = word;
        return std::nullopt;
      }
    }
    return error("unexpected argument '" + std::string(word) + "' found", "", usage_so_far(seen_));
  }

  std::optional<std::string> set_flag(size_t flag) {
    if (flags_.is_help(flag)) return help_text(decl_);
    if (flags_.is_version(flag)) {
      std::string text(decl_.name);
      text += ' ';
      text += decl_.version;
      text += '\n';
      return text;
    }
    if (seen_[flag])
      return error("the argument '--" + std::string(flags_[flag].long_name) + "' cannot be used multiple times", "",
                   general_usage(decl_));
    seen_[flag] = true;
    return std::nullopt;
  }

  std::string unknown_long(std::string_view word, std::string_view name) {
    std::string sentence = "unexpected argument '" + std::string(word) + "' found";
    if (std::optional<size_t> similar = flags_.most_similar_long(name)) {
      std::vector<bool> as_if_given = seen_;
      as_if_given[*similar] = true;
      return error(sentence, "a similar argument exists: '--" + std::string(flags_[*similar].long_name) + "'",
                   usage_so_far(as_if_given));
    }
    return error(sentence, value_tip(word), general_usage(decl_));
  }

  // Flags take no value, so "--flag=value" (or "-f=value") is refused.
  std::string unexpected_value(size_t flag, std::string_view value) {
    return error("unexpected value '" + std::string(value) + "' for '--" + std::string(flags_[flag].long_name) +
                     "' found; no more were expected",
                 "", general_usage(decl_));
  }

  static std::string value_tip(std::string_view word) {
    std::string w(word);
    return "to pass '" + w + "' as a value, use '-- " + w + "'";
  }

  // "Usage: name" with the flags given so far, then the required and the
  // given positionals.
  std::string usage_so_far(const std::vector<bool>& given) const {
    std::string usage = "Usage: ";
    usage += decl_.name;
    for (size_t i = 0; i < given.size(); ++i)
      if (given[i]) usage += " --" + std::string(flags_[i].long_name);
    for (size_t i = 0; i < positionals_.size(); ++i)
      if (decl_.positionals[i].required || positionals_[i])
        usage += " <" + std::string(decl_.positionals[i].value_name) + ">";
    return usage;
  }

  static std::string error(std::string_view sentence, std::string_view tip, std::string_view usage) {
    std::string text = "error: ";
    text += sentence;
    text += '\n';
    if (!tip.empty()) {
      text += "\n  tip: ";
      text += tip;
      text += '\n';
    }
    text += '\n';
    text += usage;
    text += "\n\nFor more information, try '--help'.\n";
    return text;
  }

  const CommandDecl& decl_;
  FlagList flags_;
  std::vector<bool> seen_;  // by index in flags_
  std::vector<std::optional<std::string>> positionals_;
};

}  // namespace

Result<ParsedArgs, std::string> parse_args(const CommandDecl& decl, std::span<const std::string_view> words) {
  return Parser(decl).run(words);
}

std::string help_text(const CommandDecl& decl) {
  std::string text(decl.about);
  text += "\n\n";
  text += general_usage(decl);
  text += '\n';

  if (!decl.positionals.empty()) {
    std::vector<std::string> left;
    std::vector<std::string_view> right;
    for (const PositionalDecl& p : decl.positionals) {
      left.push_back(positional_spelling(p));
      right.push_back(p.help);
    }
    text += "\nArguments:\n";
    append_aligned(text, left, right);
  }

  FlagList flags(decl);
  std::vector<std::string> left;
  std::vector<std::string_view> right;
  for (size_t i = 0; i < flags.size(); ++i) {
    left.push_back(flag_spelling(flags[i]));
    right.push_back(flags[i].help);
  }
  text += "\nOptions:\n";
  append_aligned(text, left, right);
  return text;
}

}  // namespace marrowfen::terminal
