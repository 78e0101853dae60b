// The number that names one inode of one FileSystem. The root is 0; new ids
// come from a counter that starts at 1 and are never reused.
#pragma once

#include <cstdint>

namespace marrowfen::fs {

using InodeId = uint64_t;

}  // namespace marrowfen::fs
