#include "pool/account/name_generator.h"

#include <gtest/gtest.h>

#include <set>

namespace marrowfen::pool {
namespace {

TEST(NameGenerator, FirstNamesOfTheFixedSeed) {
  NameGenerator rng;
  EXPECT_EQ(rng.next_name(), "test_UKUKKUUK");
  EXPECT_EQ(rng.next_name(), "test_jii8OIPW");
  EXPECT_EQ(rng.next_name(), "test_9mP8mMxu");
}

TEST(NameGenerator, EveryGeneratorDrawsTheSameWellFormedNames) {
  NameGenerator a;
  NameGenerator b;
  std::set<std::string> seen;
  for (int i = 0; i < 2000; ++i) {
    std::string name = a.next_name();
    ASSERT_EQ(name, b.next_name());
    ASSERT_EQ(name.size(), 13u);
    ASSERT_TRUE(name.starts_with("test_"));
    for (char c : name.substr(5)) ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << name;
    seen.insert(name);
  }
  EXPECT_EQ(seen.size(), 2000u);  // no early cycle
}

}  // namespace
}  // namespace marrowfen::pool
