// IoError kinds, texts and debug forms; the mode bits of file handles.
#include <string>

#include "fs/error.h"
#include "fs/file_handle_type.h"
#include "fs_test_support.h"

namespace fstest {
namespace {

struct KindCase {
  Kind kind;
  int value;
  const char* text;
  const char* debug;
};

const KindCase kKinds[] = {
    {Kind::InodeNotFound, 0, "Inode not found", "InodeNotFound"},
    {Kind::NotADirectory, 1, "The specified INode is not a directory", "NotADirectory"},
    {Kind::NotAFile, 2, "The specified INode is not a file", "NotAFile"},
    {Kind::NotASymlink, 3, "The specified INode is not a symlink", "NotASymlink"},
    {Kind::MaxRecursionDepthExceeded, 4, "Maximum filesystem depth exceeded", "MaxRecursionDepthExceeded"},
    {Kind::ResourceAlreadyExists, 5, "Resource already exists", "ResourceAlreadyExists"},
    {Kind::DirectoryIsNotEmpty, 6, "Directory is not empty", "DirectoryIsNotEmpty"},
    {Kind::ResourceCurrentInUse, 7, "Resource is currently in use", "ResourceCurrentInUse"},
    {Kind::UnrecognizedFileMode, 8, "Unrecognized file mode", "UnrecognizedFileMode"},
    {Kind::InvalidFileDescriptor, 10, "Invalid file descriptor", "InvalidFileDescriptor"},
};

class IoErrorKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(IoErrorKinds, ValueTextAndDebugForm) {
  const KindCase& c = GetParam();
  IoError e(c.kind);
  EXPECT_EQ(static_cast<int>(e.kind()), c.value);
  EXPECT_EQ(e.to_string(), c.text);
  EXPECT_EQ(e.debug(), c.debug);
}

INSTANTIATE_TEST_SUITE_P(AllPlainKinds, IoErrorKinds, ::testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.debug); });

TEST(IoError, OperationNotSupportedCarriesTheOperation) {
  EXPECT_EQ(static_cast<int>(Kind::OperationNotSupported), 9);
  IoError read = IoError::operation_not_supported("read");
  IoError write = IoError::operation_not_supported("write");
  EXPECT_EQ(read.kind(), Kind::OperationNotSupported);
  EXPECT_EQ(read.to_string(), "File does not support the specified operation: read");
  EXPECT_EQ(write.to_string(), "File does not support the specified operation: write");
  EXPECT_EQ(read.debug(), "OperationNotSupported(\"read\")");
  EXPECT_EQ(write.debug(), "OperationNotSupported(\"write\")");
}

struct ModeCase {
  const char* text;
  int bits;  // -1: refused
  const char* debug;
};

class ModeStrings : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ModeStrings, ParseAndDebugForm) {
  const ModeCase& c = GetParam();
  auto parsed = FileHandleType::from_str(c.text);
  if (c.bits < 0) {
    EXPECT_IO_ERR(parsed, UnrecognizedFileMode);
    return;
  }
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed.value().bits(), c.bits);
  EXPECT_EQ(parsed.value().debug(), c.debug);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ModeStrings,
    ::testing::Values(ModeCase{"", 0, "FileHandleType(0x0)"}, ModeCase{"r", 1, "FileHandleType(READ)"},
                      ModeCase{"w", 2, "FileHandleType(WRITE)"}, ModeCase{"rw", 3, "FileHandleType(READ | WRITE)"},
                      ModeCase{"wr", 3, "FileHandleType(READ | WRITE)"}, ModeCase{"rr", -1, ""}, ModeCase{"ww", -1, ""},
                      ModeCase{"rwr", -1, ""}, ModeCase{"R", -1, ""}, ModeCase{"W", -1, ""}, ModeCase{"r+", -1, ""},
                      ModeCase{"a", -1, ""}, ModeCase{" r", -1, ""}, ModeCase{"x", -1, ""}));

}  // namespace
}  // namespace fstest
