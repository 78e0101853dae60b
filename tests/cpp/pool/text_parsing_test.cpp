#include <gtest/gtest.h>

#include "base/utf8.h"
#include "pool/account/userid.h"

namespace marrowfen::pool {
namespace {

TEST(ParseUidLine, FirstLineAsUnsigned32BitDecimal) {
  EXPECT_EQ(parse_uid_line("1001\n"), 1001u);
  EXPECT_EQ(parse_uid_line("1001\r\n"), 1001u);
  EXPECT_EQ(parse_uid_line("1001"), 1001u);
  EXPECT_EQ(parse_uid_line("+7\nrest"), 7u);
  EXPECT_EQ(parse_uid_line("4294967295\n"), 4294967295u);
  EXPECT_EQ(parse_uid_line("007\n"), 7u);
}

TEST(ParseUidLine, AnythingElseIsNothing) {
  for (const char* bad : {"", "\n", "+\n", "4294967296\n", " 1\n", "1 \n", "-1\n", "1\r\r\n", "x", "\n1\n", "1\r"}) {
    EXPECT_EQ(parse_uid_line(bad), std::nullopt) << '"' << bad << '"';
  }
}

TEST(Utf8, AcceptsWellFormedTextOnly) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("useradd: ok \xC3\xA9 \xE2\x98\xA2 \xF0\x9F\x98\x80"));
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));          // overlong '/'
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // past U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xE2\x98"));          // cut short
  EXPECT_FALSE(is_valid_utf8("\xFF"));
  EXPECT_EQ(utf8_or_empty("ok"), "ok");
  EXPECT_EQ(utf8_or_empty("bad \xFF"), "");
}

}  // namespace
}  // namespace marrowfen::pool
