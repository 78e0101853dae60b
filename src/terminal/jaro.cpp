#include "terminal/jaro.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/utf8.h"

namespace marrowfen::terminal {

double jaro_similarity(std::string_view a_bytes, std::string_view b_bytes) {
  const std::u32string a = decode_utf8_lossy(a_bytes);
  const std::u32string b = decode_utf8_lossy(b_bytes);
  if (a.empty() && b.empty()) return 1.0;
  if (a.empty() || b.empty()) return 0.0;

  // Characters match when equal and no further apart than this.
  const size_t longer = std::max(a.size(), b.size());
  const size_t reach = longer >= 2 ? longer / 2 - 1 : 0;

  std::vector<bool> a_matched(a.size()), b_matched(b.size());
  size_t matches = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    size_t lo = i > reach ? i - reach : 0;
    size_t hi = std::min(i + reach + 1, b.size());
    for (size_t j = lo; j < hi; ++j) {
      if (b_matched[j] || a[i] != b[j]) continue;
      a_matched[i] = b_matched[j] = true;
      ++matches;
      break;
    }
  }
  if (matches == 0) return 0.0;

  // Matched characters that stand in a different order, counted in pairs.
  size_t out_of_order = 0;
  for (size_t i = 0, j = 0; i < a.size(); ++i) {
    if (!a_matched[i]) continue;
    while (!b_matched[j]) ++j;
    if (a[i] != b[j]) ++out_of_order;
    ++j;
  }
  const double m = static_cast<double>(matches);
  const double transpositions = static_cast<double>(out_of_order) / 2.0;
  return (m / static_cast<double>(a.size()) + m / static_cast<double>(b.size()) + (m - transpositions) / m) / 3.0;
}

}  // namespace marrowfen::terminal
