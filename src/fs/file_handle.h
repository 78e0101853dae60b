// FileHandle: one open file, with its own offset and a share of the file's
// lock word. Any number of handles without WRITE, or exactly one with it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "fs/filesystem.h"

namespace marrowfen::fs {

enum class SeekOrigin : uint8_t { Start = 0, End = 1, Current = 2 };

class FileHandle {
 public:
  // Claims the file's lock word for `type`; never waits.
  static IoResult<FileHandle> create(std::shared_ptr<FileSystem> fs, InodeId id, FileHandleType type);
  // As create, for a caller that has resolved `id` to `node` already.
  static IoResult<FileHandle> open_node(std::shared_ptr<FileSystem> fs, InodeId id, INodeRef node, FileHandleType type);

  FileHandle(FileHandle&& o) noexcept;
  FileHandle& operator=(FileHandle&& o) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  // An open handle closes itself, giving back its share of the lock.
  ~FileHandle();

  // Copies up to buffer.size() bytes from the offset and advances it.
  IoResult<size_t> read(std::span<uint8_t> buffer);
  // A read in two steps, for callers that have more to do before the read
  // counts: peek() copies as read() does but leaves the offset, and
  // consume(n) then advances it by the n bytes peek() returned. Only a
  // handle with WRITE, which has the file alone, can shorten it, so the
  // bytes stay there in between.
  IoResult<size_t> peek(std::span<uint8_t> buffer) const;
  void consume(size_t n) { offset_ += n; }
  // How many bytes a read could return now: those between the offset and
  // the end of the file. Fails as read() does.
  IoResult<size_t> readable() const;
  // Writes at the offset, lengthening the file with zeros as needed. The
  // offset does not move. Out of memory (std::bad_alloc), the file is left
  // as it was.
  IoResult<size_t> write(std::span<const uint8_t> bytes);
  IoStatus seek(SeekOrigin origin, size_t distance);
  // Makes the file exactly `length` bytes long: cut short, or lengthened
  // with zeros. Needs WRITE, so no other handle has the file open; the
  // offset moves back to the new end if it was beyond it.
  IoStatus truncate(size_t length);
  IoStatus close();

  const std::optional<InodeId>& id() const { return id_; }
  FileHandleType type() const { return type_; }
  size_t offset() const { return offset_; }
  const std::shared_ptr<FileSystem>& fs() const { return fs_; }

  // `FileHandle { id: Some(3), type: FileHandleType(READ), fs: ..., offset: 0 }`
  std::string debug_string() const;

 private:
  FileHandle(InodeId id, FileHandleType type, std::shared_ptr<FileSystem> fs, INodeRef node)
      : id_(id), type_(type), fs_(std::move(fs)), node_(std::move(node)) {}
  // The file of an open handle: an internal error if its lock is poisoned.
  IoResult<const INode*> open_file() const;
  // The file of an open handle that may read.
  IoResult<const INode*> file_to_read() const;

  std::optional<InodeId> id_;
  FileHandleType type_;
  std::shared_ptr<FileSystem> fs_;
  size_t offset_ = 0;
  // The file that `id_` resolved to when the handle was opened. While the
  // handle is open it counts in the file's lock word, so no removal can
  // take the file away: holding it spares every operation a lookup.
  INodeRef node_;
};

}  // namespace marrowfen::fs
