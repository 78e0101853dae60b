#include "terminal/jaro.h"

#include <gtest/gtest.h>

namespace marrowfen::terminal {
namespace {

struct JaroCase {
  const char* a;
  const char* b;
  double similarity;
};

TEST(JaroSimilarity, MatchesKnownPairsBothWays) {
  const JaroCase cases[] = {
      {"MARTHA", "MARHTA", 17.0 / 18.0},
      {"DIXON", "DICKSONX", 23.0 / 30.0},
      {"JELLYFISH", "SMELLYFISH", 0.896296296},
      {"DWAYNE", "DUANE", 37.0 / 45.0},
      {"CRATE", "TRACE", 11.0 / 15.0},
      {"recursiv", "recursive", 26.0 / 27.0},
      {"recursive", "recursive", 1.0},
      {"a", "a", 1.0},
      {"abc", "xyz", 0.0},
      {"ab", "ba", 0.0},  // too far apart to match within a two-letter window
      {"", "", 1.0},
      {"", "a", 0.0},
      {"café", "cafe", 5.0 / 6.0},  // code points: é is one character
  };
  for (const JaroCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.a << " / " << c.b);
    EXPECT_NEAR(jaro_similarity(c.a, c.b), c.similarity, 1e-6);
    EXPECT_NEAR(jaro_similarity(c.b, c.a), c.similarity, 1e-6);
  }
}

}  // namespace
}  // namespace marrowfen::terminal
