// UTF-8 decoding that never fails: every ill-formed sequence becomes one
// U+FFFD per maximal subpart, so the same bytes always decode to the same
// text as other "replace" decoders produce.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace marrowfen {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// One step of decoding: the sequence at the front of the input.
struct Utf8Step {
  size_t length;        // bytes consumed, at least 1 for non-empty input
  char32_t code_point;  // kReplacementCharacter when !valid
  bool valid;
};

// Decodes the sequence starting at bytes[pos] (pos < bytes.size()). An
// ill-formed sequence consumes its maximal subpart: the longest prefix that
// could still have begun a well-formed sequence, or one byte.
Utf8Step decode_utf8_step(std::string_view bytes, size_t pos);

// The bytes as text, each ill-formed subpart replaced by U+FFFD. Valid input
// is handed back without copying.
std::string utf8_lossy(std::string bytes);

// The code points of `bytes`, decoded as utf8_lossy does.
std::u32string decode_utf8_lossy(std::string_view bytes);

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

// The bytes as text, or an empty text when they are not valid UTF-8.
std::string utf8_or_empty(std::string bytes);

}  // namespace marrowfen
