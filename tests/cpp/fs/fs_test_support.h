// Shared helpers of the filesystem tests: unwrapping results, reading a
// file's lock word, and printing errors in failure messages.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

#include "fs/error.h"
#include "fs/file_handle.h"
#include "fs/filesystem.h"

namespace marrowfen::fs {

inline void PrintTo(const IoError& e, std::ostream* os) { *os << e.debug(); }

}  // namespace marrowfen::fs

namespace fstest {

using namespace marrowfen::fs;
using Kind = IoError::Kind;
using FsPtr = std::shared_ptr<FileSystem>;

// The value of a result that must succeed; a failure ends the test with the
// error's debug form.
template <class T>
T must(marrowfen::Result<T, IoError> r, const char* what) {
  if (!r.ok()) throw std::runtime_error(std::string(what) + " failed with " + r.error().debug());
  return std::move(r).value();
}
inline void must(marrowfen::Result<void, IoError> r, const char* what) {
  if (!r.ok()) throw std::runtime_error(std::string(what) + " failed with " + r.error().debug());
}
#define MUST(expr) ::fstest::must((expr), #expr)

// The error of a result that must fail, or nothing if it succeeded.
template <class R>
std::optional<Kind> error_kind(const R& r) {
  if (r.ok()) return std::nullopt;
  return r.error().kind();
}
#define EXPECT_IO_ERR(expr, kind) EXPECT_EQ(::fstest::error_kind(expr), std::optional<Kind>(Kind::kind)) << #expr
#define ASSERT_IO_ERR(expr, kind) ASSERT_EQ(::fstest::error_kind(expr), std::optional<Kind>(Kind::kind)) << #expr

inline InodeId path_id(const FileSystem& fs, std::string_view path) {
  return must(fs.get_inode_by_path_raw(path), "get_inode_by_path_raw");
}

inline FileHandleType mode(std::string_view m) { return must(FileHandleType::from_str(m), "from_str"); }

// The lock word of the file stored under `id`.
inline int32_t flag_of(const FileSystem& fs, InodeId id) {
  INodeRef node = fs.lookup(id);
  if (!node) throw std::runtime_error("no inode " + std::to_string(id));
  return node->file()->lock.flag.load();
}

inline void set_flag(const FileSystem& fs, InodeId id, int32_t value) {
  INodeRef node = fs.lookup(id);
  node->file()->lock.flag.store(value);
}

inline std::string file_bytes(const FileSystem& fs, InodeId id) {
  INodeRef node = fs.lookup(id);
  auto kind = node->read();
  const auto& data = kind.file()->data.data;
  return std::string(data.begin(), data.end());
}

// Waits for a future with a bound, so a hang fails the test instead of
// stalling the run.
template <class T>
void join_bounded(std::future<T>& f, std::chrono::seconds limit = std::chrono::seconds(60)) {
  ASSERT_EQ(f.wait_for(limit), std::future_status::ready) << "worker did not finish";
  f.get();
}

}  // namespace fstest
