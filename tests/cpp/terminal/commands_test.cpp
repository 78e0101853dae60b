// The built-in commands, message by message.
#include <gtest/gtest.h>

#include <span>
#include <string>

#include "fs/file_handle.h"
#include "script.h"
#include "terminal/simple_terminal.h"

namespace marrowfen::terminal {
namespace {

using testing::fail;
using testing::out;

class Commands : public ::testing::Test {
 protected:
  fs::FileHandle open(std::string_view path, const char* mode) {
    auto handle = fs::FileSystem::open(fs_, path, fs::FileHandleType::from_str(mode).value(), true);
    EXPECT_TRUE(handle.ok());
    return std::move(handle).value();
  }
  void write_file(std::string_view path, std::string_view bytes) {
    fs::FileHandle handle = open(path, "w");
    auto data = reinterpret_cast<const uint8_t*>(bytes.data());
    ASSERT_TRUE(handle.write(std::span(data, bytes.size())).ok());
  }
  int32_t lock_flag(std::string_view path) {
    fs::INodeRef node = fs_->lookup(fs_->get_inode_by_path_raw(path).value());
    return node->file()->lock.flag.load();
  }

  std::shared_ptr<fs::FileSystem> fs_ = fs::FileSystem::create();
  SimpleTerminal term_{fs_};
};

TEST_F(Commands, CdLsAndPwd) {
  testing::run_script(term_, {
                                 out("ls", ""),
                                 out("mkdir d", ""),  // id 1
                                 out("touch f", ""),  // id 2
                                 out("ls", "f\nd/\n"),
                                 out("cd d", ""),
                                 out("pwd", "/d"),
                                 out("ls /", "f\nd/\n"),
                                 fail("ls /f", "ls: 2: Not a directory"),
                                 fail("ls /nope", "nope: Inode not found"),
                                 out("cd ..", ""),
                                 out("pwd", "/"),
                                 out("cd ..", ""),
                                 out("pwd", "/"),
                                 fail("cd", "cd: missing argument"),
                                 fail("cd f", "cd: f: Not a directory"),
                                 fail("cd nope", "cd: cannot access 'nope': nope: Inode not found"),
                                 fail("cd d/x", "cd: cannot access 'd/x': d/x: Inode not found"),
                                 out("pwd", "/"),  // failures leave the directory alone
                                 out("cd d extra words", ""),
                                 out("pwd", "/d"),
                                 out("cd /", ""),
                                 fail("ls f", "ls: 2: Not a directory"),
                                 fail("ls a/b", "a/b: Inode not found"),
                             });
}

TEST_F(Commands, LsListsFilesThenDirectoriesInCreationOrder) {
  testing::run_script(term_, {out("touch b", ""), out("mkdir c", ""), out("touch a", ""), out("mkdir 'sp ace'", ""),
                              out("ls", "b\na\nc/\nsp ace/\n")});
}

TEST_F(Commands, CatShowsContentsAndAlwaysClosesItsHandle) {
  write_file("g", "f\xFFg");
  write_file("h", "h\xC3\xA9llo\n");
  write_file("e", "");
  testing::run_script(term_, {
                                 fail("cat", "cat: missing argument"),
                                 out("mkdir d", ""),
                                 fail("cat d", "cat: d: Is a directory"),
                                 fail("cat nope", "nope: Inode not found"),
                                 out("cat e", ""),
                                 out("cat g", "f\xEF\xBF\xBDg"),
                                 out("cat h", "h\xC3\xA9llo\n"),
                                 out("cd d", ""),
                                 out("cat /h", "h\xC3\xA9llo\n"),
                                 fail("cat ..", "cat: ..: Is a directory"),
                             });
  EXPECT_EQ(lock_flag("g"), 0);

  // Readers share the file; a writer keeps cat out.
  fs::FileHandle reader = open("g", "r");
  testing::run_script(term_, {out("cat /g", "f\xEF\xBF\xBDg")});
  EXPECT_EQ(lock_flag("g"), 1);
  fs::FileHandle writer = open("w", "w");
  testing::run_script(term_, {fail("cat /w", "cat: cannot access '/w': Resource is currently in use")});
  EXPECT_EQ(lock_flag("w"), fs::FileLock::WRITE_EXCLUSIVE);
}

TEST_F(Commands, MkdirAndTouchResolveOneLevel) {
  testing::run_script(term_, {
                                 fail("mkdir", "mkdir: missing argument"),
                                 fail("touch", "touch: missing argument"),
                                 out("mkdir d", ""),  // id 1
                                 out("touch f", ""),  // id 2
                                 fail("mkdir d", "mkdir: cannot create directory 'd': Resource already exists"),
                                 fail("mkdir d/", "mkdir: cannot create directory 'd/': Resource already exists"),
                                 fail("mkdir f", "mkdir: cannot create directory 'f': Resource already exists"),
                                 fail("mkdir .", "mkdir: cannot create directory '.': Resource already exists"),
                                 fail("mkdir ..", "mkdir: cannot create directory '..': Resource already exists"),
                                 fail("touch f", "touch: cannot create file 'f': Resource already exists"),
                                 fail("touch d", "touch: cannot create file 'd': Resource already exists"),
                                 fail("mkdir f/x", "mkdir: 2: Not a directory"),
                                 fail("touch f/x", "touch: 2: Not a directory"),
                                 fail("mkdir a/b/c", "a/b: Inode not found"),
                                 fail("touch a/b/c", "a/b: Inode not found"),
                                 out("cd d", ""),
                                 out("mkdir /x", ""),     // a lone leading "/" means here
                                 out("touch '\\y'", ""),  // and so does a backslash
                                 out("mkdir /d/z", ""),   // "/d" is the root's child d
                                 out("touch ../t", ""),
                                 out("ls", "y\nx/\nz/\n"),
                                 out("ls /", "f\nt\nd/\n"),
                             });
}

TEST_F(Commands, MkdirStopsAtTheDepthLimit) {
  for (size_t depth = 1; depth <= fs::kMaxDepth; ++depth)
    testing::run_script(term_, {out("mkdir l", ""), out("cd l", "")});
  testing::run_script(term_,
                      {
                          fail("mkdir x", "mkdir: cannot create directory 'x': Maximum filesystem depth exceeded"),
                          fail("touch x", "touch: cannot create file 'x': Maximum filesystem depth exceeded"),
                      });
}

TEST_F(Commands, RmRemovesFilesAndDirectories) {
  testing::run_script(term_, {
                                 fail("rm", "rm: missing argument"),
                                 fail("rm nope", "nope: Inode not found"),
                                 out("mkdir d", ""),
                                 out("touch d/x", ""),
                                 fail("rm d", "rm: cannot remove 'd': Directory is not empty"),
                                 out("ls d", "x\n"),
                                 out("rm d -r", ""),
                                 out("ls", ""),
                                 out("mkdir d", ""),
                                 out("mkdir d/e", ""),
                                 out("rm -r /d", ""),
                                 out("touch f", ""),
                                 out("rm -r f", ""),
                                 out("ls", ""),
                             });
  fs::FileHandle held = open("busy", "r");
  testing::run_script(term_, {fail("rm busy", "rm: cannot remove 'busy': Resource is currently in use")});
}

TEST_F(Commands, RmOfTheCurrentDirectoryAndTheRoot) {
  testing::run_script(term_, {
                                 fail("rm ''", "rm: cannot remove '': Resource is currently in use"),
                                 fail("rm -r /", "rm: cannot remove '/': Resource is currently in use"),
                                 fail("rm .", "rm: cannot remove '.': Resource is currently in use"),
                                 out("mkdir e", ""),  // id 1
                                 out("cd e", ""),
                                 out("rm ''", ""),
                                 fail("pwd", "pwd: cannot access '1': Inode not found"),
                                 fail("cd x", "cd: cannot access 'x': x: Inode not found"),
                                 out("cd /", ""),
                                 out("pwd", "/"),
                                 out("ls", ""),
                             });
}

}  // namespace
}  // namespace marrowfen::terminal
