// Whole command lines: splitting, lookup, echo, help and shared filesystems.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "script.h"
#include "terminal/simple_terminal.h"

namespace marrowfen::terminal {
namespace {

using testing::fail;
using testing::out;

constexpr std::string_view kMalformed = "The command was not correctly formatted";

TEST(Interpreter, SplitsLooksUpAndEchoes) {
  auto fs = fs::FileSystem::create();
  ASSERT_TRUE(fs->mkdir("d").ok());
  SimpleTerminal term(fs);
  testing::run_script(term, {
                                out("", ""),
                                out(" \t ", ""),
                                out("# note", ""),
                                out("ls # list the current directory", "d/\n"),
                                out("\"ls\"", "d/\n"),
                                out("echo", ""),
                                out("echo a b", "a b"),
                                out("echo a#b", "a#b"),
                                out("echo a #b", "a"),
                                out("echo 'it''s'", "its"),
                                out("echo a\\ b", "a b"),
                                out("echo \"a\\qb\"", "a\\qb"),
                                out("echo \"a\\\"b\"", "a\"b"),
                                out("echo 'a  b' c", "a  b c"),
                                out("echo '' x ''", " x "),
                                fail("echo 'unclosed", kMalformed),
                                fail("echo trailing\\", kMalformed),
                                fail("foo", "foo: command not found"),
                                fail("LS", "LS: command not found"),
                                fail("'' ls", ": command not found"),
                                fail("ls\r", "ls\r: command not found"),
                                out("help", "cd\nls\npwd\ncat\nmkdir\ntouch\nhelp\nrm\necho\n"),
                                out("help me", "cd\nls\npwd\ncat\nmkdir\ntouch\nhelp\nrm\necho\n"),
                                out("pwd ignored words", "/"),
                            });
}

TEST(Interpreter, TerminalsOverOneFilesystemShareItButNotTheirDirectory) {
  auto fs = fs::FileSystem::create();
  SimpleTerminal first(fs), second(fs);
  testing::run_script(first, {out("mkdir d", ""), out("cd d", "")});
  testing::run_script(second, {out("ls", "d/\n"), out("pwd", "/")});
  EXPECT_EQ(first.context().cwd, 1u);
  EXPECT_EQ(second.context().cwd, 0u);
  // The second terminal removes the first one's directory under it.
  testing::run_script(second, {out("rm d", "")});
  testing::run_script(first, {
                                 fail("pwd", "pwd: cannot access '1': Inode not found"),
                                 fail("ls", "ls: cannot access '1': Inode not found"),
                                 fail("cd ..", "cd: cannot access '..': ..: Inode not found"),
                                 fail("mkdir x", "mkdir: cannot access '1': Inode not found"),
                                 fail("touch x", "touch: cannot access '1': Inode not found"),
                                 fail("cat x", "x: Inode not found"),
                                 out("cd /", ""),
                                 out("pwd", "/"),
                             });
}

TEST(Interpreter, TerminalsOnManyThreadsCreateIntoOneDirectory) {
  auto fs = fs::FileSystem::create();
  constexpr int kThreads = 4, kPerThread = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([fs, t] {
      SimpleTerminal term(fs);
      for (int i = 0; i < kPerThread; ++i)
        EXPECT_TRUE(term.run("mkdir t" + std::to_string(t) + "_" + std::to_string(i)).ok());
    });
  }
  for (std::thread& th : threads) th.join();
  auto listing = SimpleTerminal(fs).run("ls");
  ASSERT_TRUE(listing.ok());
  const std::string& names = listing.value();
  EXPECT_EQ(std::count(names.begin(), names.end(), '\n'), kThreads * kPerThread);
}

}  // namespace
}  // namespace marrowfen::terminal
