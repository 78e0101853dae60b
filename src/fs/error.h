// IoError: the single error type of the in-memory filesystem. Its kinds and
// texts are part of the public API.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace marrowfen::fs {

class IoError {
 public:
  enum class Kind : uint8_t {
    InodeNotFound = 0,
    NotADirectory = 1,
    NotAFile = 2,
    NotASymlink = 3,
    MaxRecursionDepthExceeded = 4,
    ResourceAlreadyExists = 5,
    DirectoryIsNotEmpty = 6,
    ResourceCurrentInUse = 7,
    UnrecognizedFileMode = 8,
    OperationNotSupported = 9,
    InvalidFileDescriptor = 10,
  };
  using enum Kind;
  // A kind can be nothing but an error: `return IoError::NotAFile;` (base/result.h).
  using converts_to_error = void;

  constexpr IoError(Kind kind) : kind_(kind) {}  // NOLINT: kinds convert implicitly
  // OperationNotSupported with the name of the refused operation ("read", "write").
  static constexpr IoError operation_not_supported(const char* operation) {
    return IoError(OperationNotSupported, operation);
  }

  constexpr Kind kind() const { return kind_; }
  constexpr const char* payload() const { return payload_; }
  constexpr bool operator==(const IoError& o) const {
    return kind_ == o.kind_ && (kind_ != OperationNotSupported || std::string_view(payload_) == o.payload_);
  }
  constexpr bool operator==(Kind k) const { return kind_ == k; }

  // The display text, e.g. "Inode not found".
  std::string to_string() const;
  // The kind's name, e.g. `OperationNotSupported("read")`.
  std::string debug() const;

 private:
  constexpr IoError(Kind kind, const char* payload) : kind_(kind), payload_(payload) {}
  Kind kind_;
  const char* payload_ = "";
};

}  // namespace marrowfen::fs
