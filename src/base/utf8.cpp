#include "base/utf8.h"

namespace marrowfen {

namespace {

// The encoding of U+FFFD.
constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

// Lead bytes fix the sequence length and the range of the second byte; the
// narrowed ranges after E0, ED, F0 and F4 exclude overlong forms, surrogates
// and code points above U+10FFFF.
struct LeadRule {
  size_t length;
  unsigned char second_min;
  unsigned char second_max;
};

constexpr LeadRule rule_for(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  return {0, 0, 0};  // a continuation byte, C0, C1 or F5..FF can begin nothing
}

}  // namespace

Utf8Step decode_utf8_step(std::string_view bytes, size_t pos) {
  auto lead = static_cast<unsigned char>(bytes[pos]);
  if (lead < 0x80) return {1, lead, true};
  LeadRule rule = rule_for(lead);
  if (rule.length == 0) return {1, kReplacementCharacter, false};

  char32_t cp = lead & (0x7F >> rule.length);
  for (size_t k = 1; k < rule.length; ++k) {
    if (pos + k >= bytes.size()) return {k, kReplacementCharacter, false};
    auto byte = static_cast<unsigned char>(bytes[pos + k]);
    unsigned char min = k == 1 ? rule.second_min : 0x80;
    unsigned char max = k == 1 ? rule.second_max : 0xBF;
    // The offending byte is not part of the subpart: it starts the next step.
    if (byte < min || byte > max) return {k, kReplacementCharacter, false};
    cp = (cp << 6) | (byte & 0x3F);
  }
  return {rule.length, cp, true};
}

bool is_valid_utf8(std::string_view bytes) {
  for (size_t pos = 0; pos < bytes.size();) {
    Utf8Step step = decode_utf8_step(bytes, pos);
    if (!step.valid) return false;
    pos += step.length;
  }
  return true;
}

std::string utf8_or_empty(std::string bytes) {
  if (!is_valid_utf8(bytes)) return {};
  return bytes;
}

std::string utf8_lossy(std::string bytes) {
  size_t pos = 0;
  // Most contents are valid: find the first fault before copying anything.
  while (pos < bytes.size()) {
    Utf8Step step = decode_utf8_step(bytes, pos);
    if (!step.valid) break;
    pos += step.length;
  }
  if (pos == bytes.size()) return bytes;

  std::string text;
  text.reserve(bytes.size() + 8);
  text.append(bytes, 0, pos);
  while (pos < bytes.size()) {
    Utf8Step step = decode_utf8_step(bytes, pos);
    if (step.valid) {
      text.append(bytes, pos, step.length);
    } else {
      text.append(kReplacementUtf8);
    }
    pos += step.length;
  }
  return text;
}

std::u32string decode_utf8_lossy(std::string_view bytes) {
  std::u32string code_points;
  code_points.reserve(bytes.size());
  for (size_t pos = 0; pos < bytes.size();) {
    Utf8Step step = decode_utf8_step(bytes, pos);
    code_points.push_back(step.code_point);
    pos += step.length;
  }
  return code_points;
}

}  // namespace marrowfen
