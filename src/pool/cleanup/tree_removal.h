// Removing a directory tree that its former owner could have filled with
// links, or made deeper than the descriptor limit.
#pragma once

#include <chrono>
#include <string>

#include "base/error.h"
#include "base/result.h"

namespace marrowfen::pool {

// Removes the directory `name` inside `parent_fd` with everything below it.
// No symbolic link is ever followed (links are removed themselves), every call
// is relative to a descriptor, and only one descriptor of the tree is open at
// a time, so depth is limited by memory, not by the descriptor limit. The
// error is the errno of the step that failed, without context (the caller
// knows the path). A directory moved away while it is being removed fails
// the removal (EXDEV) rather than have it continue somewhere else. Past
// `deadline` it stops where it is and fails with ETIMEDOUT (a tree of
// millions of files must not hold up its caller for good).
Result<void, Error> remove_tree_at(
    int parent_fd, const std::string& name,
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());

}  // namespace marrowfen::pool
