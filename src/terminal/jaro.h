// Jaro similarity of two strings: 1.0 for identical strings, 0.0 when no
// character matches. The rm parser uses it to suggest a long option for a
// misspelt one.
#pragma once

#include <string_view>

namespace marrowfen::terminal {

// Compares code points (invalid UTF-8 decodes to U+FFFD). Two empty strings
// are identical (1.0); an empty and a non-empty string share nothing (0.0).
double jaro_similarity(std::string_view a, std::string_view b);

}  // namespace marrowfen::terminal
