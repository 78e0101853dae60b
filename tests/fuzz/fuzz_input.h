// Decoding choices out of a fuzz input, and stopping loudly when a fuzzer's
// check fails. Past the end of the input every read yields zero, so any
// byte string decodes to something.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool exhausted() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  // A number in [0, n), for n up to 65536.
  size_t below(size_t n) {
    if (n <= 1) return 0;
    size_t v = byte();
    if (n > 256) v = (v << 8) | byte();
    return v % n;
  }
  template <class T, size_t N>
  const T& pick(const T (&items)[N]) {
    return items[below(N)];
  }
  // Up to `max` raw bytes.
  std::string bytes(size_t max) {
    size_t n = below(max + 1);
    std::string s;
    for (size_t i = 0; i < n && !exhausted(); ++i) s += static_cast<char>(byte());
    return s;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The printable form of a byte string, for failure reports.
inline std::string show(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out + "\"";
}

[[noreturn]] inline void fail(const char* file, int line, const char* condition, const std::string& detail) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n%s\n", file, line, condition, detail.c_str());
  std::abort();
}

}  // namespace fuzz

// Aborts with `detail` (a std::string expression, evaluated only on failure)
// when `cond` does not hold; the fuzzer then keeps the input as a crash.
#define FUZZ_CHECK(cond, detail)                                    \
  do {                                                              \
    if (!(cond)) ::fuzz::fail(__FILE__, __LINE__, #cond, (detail)); \
  } while (0)
