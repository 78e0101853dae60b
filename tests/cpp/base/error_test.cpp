// The pool's error value: its message, the context it gains on the way up,
// its travel through Result and MF_TRY, and the warning line made from it.
#include "base/error.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "base/result.h"
#include "base/warning.h"

namespace marrowfen {
namespace {

TEST(Error, TheMessageIsTheContextThenTheSystemsDescription) {
  EXPECT_EQ(Error::text("Failed to read stdout").message(), "Failed to read stdout");
  EXPECT_EQ(Error::os(EPIPE, "Failed to write to the stdin of the process").message(),
            "Failed to write to the stdin of the process: Broken pipe (os error 32)");
  EXPECT_EQ(Error::os(ENOENT).message(), "No such file or directory (os error 2)");
  EXPECT_EQ(Error::os(ENOENT).os_error, ENOENT);
  EXPECT_EQ(Error::text("refused").os_error, 0);
}

TEST(Error, OuterContextGoesInFront) {
  EXPECT_EQ(Error::os(ENOENT).within("Failed to create the terminal session").message(),
            "Failed to create the terminal session: No such file or directory (os error 2)");
  EXPECT_EQ(Error::text("Failed exit code: 3 ()").within("Failed to kill all processes of the user").message(),
            "Failed to kill all processes of the user: Failed exit code: 3 ()");
  Error nested = Error::os(EACCES, "/tmp/x").within("b").within("a");
  EXPECT_EQ(nested.message(), "a: b: /tmp/x: Permission denied (os error 13)");
  EXPECT_EQ(nested.os_error, EACCES);
}

Result<int, Error> half(int n) {
  if (n % 2 != 0) return Error::text("odd");
  return n / 2;
}

Result<int, Error> quarter(int n) {
  MF_TRY_ASSIGN(int h, half(n));
  return half(h);
}

Result<void, Error> check_quarter(int n) {
  MF_TRY(quarter(n));
  return {};
}

TEST(Error, TravelsThroughResultAndTry) {
  EXPECT_EQ(quarter(8).value(), 2);
  EXPECT_EQ(quarter(6).error(), "odd");
  EXPECT_TRUE(check_quarter(4).ok());
  EXPECT_EQ(check_quarter(3).error(), "odd");
}

TEST(Error, LeavesAsItsMessage) {
  Result<int, std::string> text = with_message(quarter(6));
  EXPECT_EQ(text.error(), "odd");
  EXPECT_EQ(with_message(quarter(8)).value(), 2);
  EXPECT_EQ(with_message(check_quarter(3)).error(), "odd");

  std::vector<Error> problems = {Error::os(ETIMEDOUT, "/tmp"), Error::text("shared memory 7")};
  EXPECT_TRUE(problems == (std::vector<std::string>{"/tmp: Connection timed out (os error 110)", "shared memory 7"}));
  EXPECT_FALSE(problems == (std::vector<std::string>{"/tmp", "shared memory 7"}));
  EXPECT_FALSE(problems == std::vector<std::string>{});
}

// Everything written to descriptor 2 while `body` runs.
template <class Body>
std::string stderr_of(Body body) {
  FILE* file = ::tmpfile();
  int saved = ::dup(STDERR_FILENO);
  ::dup2(::fileno(file), STDERR_FILENO);
  body();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::string text;
  ::rewind(file);
  for (int c = ::fgetc(file); c != EOF; c = ::fgetc(file)) text += static_cast<char>(c);
  ::fclose(file);
  return text;
}

TEST(Warning, OneLineMarkedOrBare) {
  EXPECT_EQ(stderr_of([] { warn(Error::os(EPERM, "Failed to claim the user account")); }),
            "⚠️ Failed to claim the user account: Operation not permitted (os error 1)\n");
  EXPECT_EQ(stderr_of([] { warn(Error::text("Failed to create the user account: "), WarningMark::kBare); }),
            "Failed to create the user account: \n");
}

}  // namespace
}  // namespace marrowfen
