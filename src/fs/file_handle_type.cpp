#include "fs/file_handle_type.h"

namespace marrowfen::fs {

Result<FileHandleType, IoError> FileHandleType::from_str(std::string_view mode) {
  uint8_t bits = EMPTY;
  for (char c : mode) {
    uint8_t bit = c == 'r' ? READ : c == 'w' ? WRITE : 0;
    if (bit == 0 || (bits & bit)) return IoError::UnrecognizedFileMode;
    bits |= bit;
  }
  return FileHandleType(bits);
}

std::string FileHandleType::debug() const {
  switch (bits_) {
    case EMPTY: return "FileHandleType(0x0)";
    case READ: return "FileHandleType(READ)";
    case WRITE: return "FileHandleType(WRITE)";
    default: return "FileHandleType(READ | WRITE)";
  }
}

}  // namespace marrowfen::fs
