// The mode bits of a file handle.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/result.h"
#include "fs/error.h"

namespace marrowfen::fs {

class FileHandleType {
 public:
  static constexpr uint8_t EMPTY = 0;
  static constexpr uint8_t READ = 1;
  static constexpr uint8_t WRITE = 2;

  constexpr FileHandleType() = default;
  constexpr explicit FileHandleType(uint8_t bits) : bits_(bits) {}

  // "r" adds READ, "w" adds WRITE; anything else, or a repeat, is refused.
  static Result<FileHandleType, IoError> from_str(std::string_view mode);

  constexpr uint8_t bits() const { return bits_; }
  constexpr bool can_read() const { return bits_ & READ; }
  constexpr bool can_write() const { return bits_ & WRITE; }
  constexpr bool operator==(const FileHandleType&) const = default;

  // `FileHandleType(READ | WRITE)`, or `FileHandleType(0x0)` with no bits.
  std::string debug() const;

 private:
  uint8_t bits_ = EMPTY;
};

}  // namespace marrowfen::fs
