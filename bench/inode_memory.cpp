// Bytes in use by malloc per empty file and per empty directory, measured on
// the filesystem core itself, without the interpreter.
//
// Usage: inode_memory [INODES]
// For each kind, a fresh FileSystem gets INODES (default 1,000,000) empty
// entries of that kind with short names ("f0" .. "f999"), 1,000 to a
// directory, and the growth of glibc's count of bytes handed out and not
// taken back (mallinfo2: small blocks plus mmapped ones) is divided by the
// inodes made. That charges an entry everything it costs: its inode, its
// slot in the inode table, its place in the parent's child list and its share
// of the parent's name index, with malloc's per-block overhead, but not
// malloc's free space. Prints one JSON object per kind.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fs/filesystem.h"
#include "fs/inode.h"

namespace {

using marrowfen::fs::FileSystem;

size_t heap_in_use() {
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

void measure(const char* kind, bool directories, size_t inodes) {
  constexpr size_t kPerDir = 1000;
  size_t dirs = inodes / kPerDir;
  size_t before = heap_in_use();
  {
    auto fs = FileSystem::create();
    std::string path;
    for (size_t d = 0; d < dirs; ++d) {
      std::string dir = "/d" + std::to_string(d);
      if (!fs->mkdir(dir).ok()) std::abort();
      for (size_t i = 0; i < kPerDir; ++i) {
        path = dir + "/f" + std::to_string(i);
        if (!(directories ? fs->mkdir(path) : fs->touch(path)).ok()) std::abort();
      }
    }
    size_t made = dirs * (kPerDir + 1);
    size_t grown = heap_in_use() - before;
    std::printf("{\"kind\": \"%s\", \"inodes\": %zu, \"bytes\": %zu, \"per_inode\": %.1f, \"node_size\": %zu}\n", kind,
                made, grown, static_cast<double>(grown) / static_cast<double>(made),
                directories ? sizeof(marrowfen::fs::DirectoryNode) : sizeof(marrowfen::fs::FileNode));
  }
}

}  // namespace

int main(int argc, char** argv) {
  size_t inodes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  measure("file", false, inodes);
  measure("directory", true, inodes);
  return 0;
}
