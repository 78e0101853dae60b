#include "pool/process/host_command.h"

#include <poll.h>
#include <signal.h>

#include <gtest/gtest.h>

#include "base/os_error.h"
#include "test_support.h"

namespace marrowfen::pool {
namespace {

using testing::ScratchDir;
using testing::Watchdog;

TEST(OsErrorText, DescriptionThenNumber) {
  EXPECT_EQ(os_error_text(13), "Permission denied (os error 13)");
  EXPECT_EQ(os_error_text(2), "No such file or directory (os error 2)");
  EXPECT_EQ(os_error_text(32), "Broken pipe (os error 32)");
}

TEST(HostCommand, CapturesBothStreamsOfASuccess) {
  auto ran = run_host_command({"sh", "-c", "printf 'out\\n'; printf 'err' >&2"});
  ASSERT_TRUE(ran.ok());
  EXPECT_TRUE(ran.value().success());
  EXPECT_EQ(ran.value().status.code(), 0);
  EXPECT_EQ(ran.value().stdout_bytes, "out\n");
  EXPECT_EQ(ran.value().stderr_bytes, "err");
}

TEST(HostCommand, ReportsANonZeroExit) {
  auto ran = run_host_command({"sh", "-c", "echo partial; exit 3"});
  ASSERT_TRUE(ran.ok());
  EXPECT_FALSE(ran.value().success());
  EXPECT_EQ(ran.value().status.code(), 3);
  EXPECT_EQ(ran.value().status.signal(), std::nullopt);
  EXPECT_EQ(ran.value().stdout_bytes, "partial\n");
}

TEST(HostCommand, ReportsADeathBySignal) {
  auto ran = run_host_command({"sh", "-c", "kill -KILL $$"});
  ASSERT_TRUE(ran.ok());
  EXPECT_FALSE(ran.value().success());
  EXPECT_EQ(ran.value().status.code(), std::nullopt);
  EXPECT_EQ(ran.value().status.signal(), SIGKILL);
}

TEST(HostCommand, AProgramThatCannotStartIsAnErrorWithItsErrno) {
  auto missing = run_host_command({"marrowfen-no-such-program"});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().os_error, ENOENT);

  ScratchDir dir;
  testing::write_file(dir / "not-executable", "#!/bin/sh\n", 0644);
  auto refused = run_host_command({dir / "not-executable"});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().os_error, EACCES);
}

TEST(HostCommand, StandardInputIsEmpty) {
  Watchdog watchdog(std::chrono::seconds(30));
  auto ran = run_host_command({"sh", "-c", "cat; echo done"});
  ASSERT_TRUE(ran.ok());
  EXPECT_EQ(ran.value().stdout_bytes, "done\n");
}

// The child fills its standard error before it writes a byte of standard
// output: a runner that drained one pipe after the other would wait forever.
TEST(HostCommand, LargeOutputOnBothPipesDoesNotDeadlock) {
  Watchdog watchdog(std::chrono::seconds(60));
  auto ran = run_host_command({"sh", "-c",
                               "head -c 1048576 /dev/zero | tr '\\0' e >&2; head -c 1048576 /dev/zero | tr '\\0' o;"
                               "head -c 1048576 /dev/zero | tr '\\0' E >&2"});
  ASSERT_TRUE(ran.ok());
  const CommandOutput& out = ran.value();
  EXPECT_TRUE(out.success());
  EXPECT_EQ(out.stdout_bytes, std::string(1 << 20, 'o'));
  EXPECT_EQ(out.stderr_bytes, std::string(1 << 20, 'e') + std::string(1 << 20, 'E'));
}

// Our pipe ends are close-on-exec: a second child must not inherit the first
// one's standard input, or closing it would never reach the first child.
TEST(ChildProcess, PipeEndsAreNotInheritedByOtherChildren) {
  Watchdog watchdog(std::chrono::seconds(60));
  auto reader = spawn_child({"cat"}, StdinMode::kPipe);
  ASSERT_TRUE(reader.ok());
  auto bystander = spawn_child({"sleep", "30"}, StdinMode::kEmpty);
  ASSERT_TRUE(bystander.ok());

  reader.value().stdin_pipe.reset();
  pollfd end_of_output{reader.value().stdout_pipe.get(), POLLIN, 0};
  int ready = ::poll(&end_of_output, 1, 20000);
  char byte;
  EXPECT_EQ(ready, 1) << "cat never saw the end of its input";
  if (ready == 1) {
    EXPECT_EQ(::read(end_of_output.fd, &byte, 1), 0);
  }

  ::kill(bystander.value().pid, SIGKILL);
  ::kill(reader.value().pid, SIGKILL);
  EXPECT_TRUE(wait_for_child(bystander.value().pid).ok());
  EXPECT_TRUE(wait_for_child(reader.value().pid).ok());
}

}  // namespace
}  // namespace marrowfen::pool
