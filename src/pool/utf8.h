// UTF-8 checks for the bytes that host commands print.
#pragma once

#include <string>
#include <string_view>

namespace marrowfen::pool {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

// The bytes as text, or an empty text when they are not valid UTF-8.
std::string utf8_or_empty(std::string bytes);

}  // namespace marrowfen::pool
