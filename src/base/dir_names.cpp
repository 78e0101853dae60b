#include "base/dir_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace marrowfen {

Result<std::vector<std::string>, Error> dir_names(int dir_fd) {
  // fdopendir owns the descriptor it gets, so it gets a copy; the copy's
  // offset is shared, hence the rewind.
  int copy = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return Error::os(errno);
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    int e = errno;
    ::close(copy);
    return Error::os(e);
  }
  ::rewinddir(dir);
  std::vector<std::string> names;
  int e = 0;
  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      e = errno;
      break;
    }
    std::string_view n = entry->d_name;
    if (n != "." && n != "..") names.emplace_back(n);
  }
  ::closedir(dir);
  if (e != 0) return Error::os(e);
  return Ok<std::vector<std::string>>{std::move(names)};
}

}  // namespace marrowfen
