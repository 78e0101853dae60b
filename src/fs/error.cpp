#include "fs/error.h"

namespace marrowfen::fs {

namespace {
struct KindText {
  const char* name;
  const char* message;
};
constexpr KindText kTexts[] = {
    {"InodeNotFound", "Inode not found"},
    {"NotADirectory", "The specified INode is not a directory"},
    {"NotAFile", "The specified INode is not a file"},
    {"NotASymlink", "The specified INode is not a symlink"},
    {"MaxRecursionDepthExceeded", "Maximum filesystem depth exceeded"},
    {"ResourceAlreadyExists", "Resource already exists"},
    {"DirectoryIsNotEmpty", "Directory is not empty"},
    {"ResourceCurrentInUse", "Resource is currently in use"},
    {"UnrecognizedFileMode", "Unrecognized file mode"},
    {"OperationNotSupported", "File does not support the specified operation: "},
    {"InvalidFileDescriptor", "Invalid file descriptor"},
};
}  // namespace

std::string IoError::to_string() const {
  std::string text = kTexts[static_cast<int>(kind_)].message;
  if (kind_ == OperationNotSupported) text += payload_;
  return text;
}

std::string IoError::debug() const {
  std::string text = kTexts[static_cast<int>(kind_)].name;
  if (kind_ == OperationNotSupported) {
    text += "(\"";
    text += payload_;
    text += "\")";
  }
  return text;
}

}  // namespace marrowfen::fs
