#include "base/utf8.h"

#include <gtest/gtest.h>

namespace marrowfen {
namespace {

#define R "\xEF\xBF\xBD"  // U+FFFD

TEST(Utf8Lossy, ReplacesEachMaximalSubpart) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"plain ascii\n", "plain ascii\n"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"f\xFFg", "f" R "g"},
      {"\x80\x80", R R},              // stray continuation bytes
      {"\xC0\xAF", R R},              // C0 and C1 never begin anything
      {"\xF5\x80", R R},              // beyond U+10FFFF by the lead alone
      {"\xE0\x80\x80", R R R},        // overlong: E0 needs A0..BF next
      {"\xED\xA0\x80", R R R},        // a surrogate
      {"\xF4\x90\x80\x80", R R R R},  // above U+10FFFF
      {"\xE2\x82", R},                // truncated at the end: one for the prefix
      {"\xE2\x82x", R "x"},           // the interrupting byte starts afresh
      {"\xF0\x9F\x98", R},
      {"\xC3", R},
      // The reference example: a, F1 80 80, E1 80, C2, b, 80, c, 80 BF, d.
      {"a\xF1\x80\x80\xE1\x80\xC2"
       "b\x80"
       "c\x80\xBF"
       "d",
       "a" R R R "b" R "c" R R "d"},
  };
  for (const auto& [bytes, text] : cases) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    EXPECT_EQ(utf8_lossy(bytes), text);
  }
}

TEST(Utf8Lossy, DecodesCodePoints) {
  EXPECT_EQ(decode_utf8_lossy("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xFF"),
            (std::u32string{U'a', 0xE9, 0x20AC, 0x1F600, kReplacementCharacter}));
}

#undef R

}  // namespace
}  // namespace marrowfen
