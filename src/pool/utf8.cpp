#include "pool/utf8.h"

#include <cstdint>

namespace marrowfen::pool {

bool is_valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const auto* end = p + bytes.size();
  auto continuation = [&](size_t i) { return p + i < end && (p[i] & 0xC0) == 0x80; };
  while (p < end) {
    uint8_t lead = *p;
    if (lead < 0x80) {
      ++p;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      if (!continuation(1)) return false;
      p += 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      if (!continuation(1) || !continuation(2)) return false;
      if (lead == 0xE0 && p[1] < 0xA0) return false;  // overlong
      if (lead == 0xED && p[1] > 0x9F) return false;  // surrogate
      p += 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      if (!continuation(1) || !continuation(2) || !continuation(3)) return false;
      if (lead == 0xF0 && p[1] < 0x90) return false;  // overlong
      if (lead == 0xF4 && p[1] > 0x8F) return false;  // past U+10FFFF
      p += 4;
    } else {
      return false;
    }
  }
  return true;
}

std::string utf8_or_empty(std::string bytes) {
  if (!is_valid_utf8(bytes)) return {};
  return bytes;
}

}  // namespace marrowfen::pool
