// Building the terminal's messages from pieces in one allocation.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace marrowfen::terminal {

inline std::string concat(std::initializer_list<std::string_view> pieces) {
  size_t size = 0;
  for (std::string_view p : pieces) size += p.size();
  std::string out;
  out.reserve(size);
  for (std::string_view p : pieces) out += p;
  return out;
}

}  // namespace marrowfen::terminal
