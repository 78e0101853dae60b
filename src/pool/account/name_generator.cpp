#include "pool/account/name_generator.h"

namespace marrowfen::pool {
namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr uint32_t kAlphabetSize = sizeof kAlphabet - 1;
constexpr int kNameLength = 8;
}  // namespace

uint32_t NameGenerator::next_word() {
  uint32_t t = x_ ^ (x_ << 11);
  x_ = y_;
  y_ = z_;
  z_ = w_;
  w_ = w_ ^ (w_ >> 19) ^ t ^ (t >> 8);
  return w_;
}

// The top six bits pick a character; the two values past the alphabet are
// rejected and drawn again, so every character is equally likely.
char NameGenerator::next_char() {
  for (;;) {
    uint32_t v = next_word() >> 26;
    if (v < kAlphabetSize) return kAlphabet[v];
  }
}

std::string NameGenerator::next_name() {
  std::string name = "test_";
  for (int i = 0; i < kNameLength; ++i) name += next_char();
  return name;
}

}  // namespace marrowfen::pool
