// Building the terminal's messages from pieces in one allocation.
#pragma once

#include <charconv>
#include <cstdint>
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

// An inode id as messages show it: decimal, no padding.
class IdText {
 public:
  explicit IdText(uint64_t id)
      : len_(static_cast<size_t>(std::to_chars(buf_, buf_ + sizeof buf_, id).ptr - buf_)) {}
  operator std::string_view() const { return {buf_, len_}; }

 private:
  char buf_[20];  // the largest u64 has 20 digits
  size_t len_;
};

}  // namespace marrowfen::terminal
