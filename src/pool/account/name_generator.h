// Account names: "test_" and eight letters or digits from an xorshift128
// generator with a fixed seed, so every pool in every process draws the same
// sequence and later runs find the accounts that earlier runs created.
#pragma once

#include <cstdint>
#include <string>

namespace marrowfen::pool {

class NameGenerator {
 public:
  // Seeded with sixteen bytes of 0x2A, read as four little-endian words.
  NameGenerator() = default;

  // The next name; the first three are test_UKUKKUUK, test_jii8OIPW and
  // test_9mP8mMxu.
  std::string next_name();

 private:
  uint32_t next_word();
  char next_char();

  uint32_t x_ = 0x2A2A2A2A;
  uint32_t y_ = 0x2A2A2A2A;
  uint32_t z_ = 0x2A2A2A2A;
  uint32_t w_ = 0x2A2A2A2A;
};

}  // namespace marrowfen::pool
