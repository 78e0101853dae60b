#include "fs/file_handle.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "base/panic.h"
#include "base/write_all.h"

namespace marrowfen::fs {

IoResult<FileHandle> FileHandle::create(std::shared_ptr<FileSystem> fs, InodeId id, FileHandleType type) {
  MF_TRY_ASSIGN(INodeRef node, fs->resolve(id));
  return open_node(std::move(fs), id, std::move(node), type);
}

IoResult<FileHandle> FileHandle::open_node(std::shared_ptr<FileSystem> fs, InodeId id, INodeRef node,
                                           FileHandleType type) {
  // The lock word is atomic and the kind never changes, so neither needs the
  // inode's lock.
  const File* file = node->file();
  if (!file) return IoError::NotAFile;
  std::atomic<int32_t>& flag = file->lock.flag;
  if (type.can_write()) {
    int32_t expected = FileLock::UNLOCKED;
    if (!flag.compare_exchange_strong(expected, FileLock::WRITE_EXCLUSIVE, std::memory_order_acq_rel))
      return IoError::ResourceCurrentInUse;
  } else {
    // Readers (and the empty mode) share the file; opens never wait.
    int32_t current = flag.load(std::memory_order_acquire);
    do {
      if (current < 0) return IoError::ResourceCurrentInUse;
    } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel));
  }
  return FileHandle(id, type, std::move(fs), std::move(node));
}

FileHandle::FileHandle(FileHandle&& o) noexcept
    : id_(std::exchange(o.id_, std::nullopt)),
      type_(o.type_),
      fs_(std::move(o.fs_)),
      offset_(o.offset_),
      node_(std::move(o.node_)) {}

FileHandle& FileHandle::operator=(FileHandle&& o) noexcept {
  if (this != &o) {
    this->~FileHandle();
    new (this) FileHandle(std::move(o));
  }
  return *this;
}

FileHandle::~FileHandle() {
  if (!id_) return;
  // An open handle's file cannot have been removed, so this close cannot
  // fail; if it does, the lock protocol is broken beyond repair.
  try {
    if (close().ok()) return;
  } catch (const Panic& p) {
    (void)write_all(2, "marrowfen: fatal: ");
    (void)write_all(2, p.message());
    (void)write_all(2, "\n");
  } catch (...) {
  }
  std::abort();
}

IoResult<const INode*> FileHandle::open_file() const {
  if (!id_) return IoError::InvalidFileDescriptor;
  if (node_->is_poisoned()) panic(kPoisonedLockMessage);
  return node_.get();
}

IoResult<const INode*> FileHandle::file_to_read() const {
  if (!id_) return IoError::InvalidFileDescriptor;
  if (!type_.can_read()) return IoError::operation_not_supported("read");
  return open_file();
}

IoResult<size_t> FileHandle::readable() const {
  MF_TRY_ASSIGN(const INode* node, file_to_read());
  auto kind = node->read();
  return kind.file()->data.data.size() - offset_;
}

IoResult<size_t> FileHandle::peek(std::span<uint8_t> buffer) const {
  MF_TRY_ASSIGN(const INode* node, file_to_read());
  auto kind = node->read();
  const auto& bytes = kind.file()->data.data;
  size_t n = std::min(buffer.size(), bytes.size() - offset_);
  if (n) std::memcpy(buffer.data(), bytes.data() + offset_, n);
  return n;
}

IoResult<size_t> FileHandle::read(std::span<uint8_t> buffer) {
  MF_TRY_ASSIGN(size_t n, peek(buffer));
  consume(n);
  return n;
}

IoResult<size_t> FileHandle::write(std::span<const uint8_t> bytes) {
  if (!id_) return IoError::InvalidFileDescriptor;
  if (!type_.can_write()) return IoError::operation_not_supported("write");
  MF_TRY(open_file());
  auto kind = node_->write();
  auto& data = kind.file()->data.data;
  // Lengthening is the only step that can fail (for want of memory), and it
  // comes before any byte is copied.
  size_t end = offset_ + bytes.size();
  if (data.size() < end) data.resize_zeroed(end);
  if (!bytes.empty()) std::memcpy(data.data() + offset_, bytes.data(), bytes.size());
  return bytes.size();
}

IoStatus FileHandle::truncate(size_t length) {
  if (!id_) return IoError::InvalidFileDescriptor;
  if (!type_.can_write()) return IoError::operation_not_supported("write");
  MF_TRY(open_file());
  auto kind = node_->write();
  auto& data = kind.file()->data.data;
  if (length > data.size()) {
    data.resize_zeroed(length);  // may throw std::bad_alloc, changing nothing
  } else {
    data.shrink(length);
  }
  offset_ = std::min(offset_, length);
  return {};
}

IoStatus FileHandle::seek(SeekOrigin origin, size_t distance) {
  MF_TRY_ASSIGN(const INode* node, open_file());
  auto kind = node->read();
  size_t len = kind.file()->data.data.size();
  size_t target = 0;
  switch (origin) {
    case SeekOrigin::Start: target = std::min(distance, len); break;
    case SeekOrigin::End: target = distance > len ? 0 : len - distance; break;
    case SeekOrigin::Current:
      target = distance > std::numeric_limits<size_t>::max() - offset_ ? std::numeric_limits<size_t>::max()
                                                                       : offset_ + distance;
      break;
  }
  offset_ = std::min(target, len);
  return {};
}

IoStatus FileHandle::close() {
  MF_TRY_ASSIGN(const INode* node, open_file());
  std::atomic<int32_t>& flag = node->file()->lock.flag;
  if (type_.can_write()) {
    if (flag.load(std::memory_order_acquire) != FileLock::WRITE_EXCLUSIVE)
      panic("assertion failed: self.flag.load(Ordering::Acquire) == FileLock::WRITE_EXCLUSIVE");
    flag.store(FileLock::UNLOCKED, std::memory_order_release);
  } else {
    int32_t current = flag.load(std::memory_order_acquire);
    do {
      if (current <= 0) panic("assertion failed: flag > 0");
    } while (!flag.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel));
  }
  id_.reset();
  node_.reset();
  return {};
}

std::string FileHandle::debug_string() const {
  std::string out = "FileHandle { id: ";
  if (id_) {
    out += "Some(" + std::to_string(*id_) + ")";
  } else {
    out += "None";
  }
  out += ", type: " + type_.debug() + ", fs: ";
  fs_->append_debug(out);
  out += ", offset: " + std::to_string(offset_) + " }";
  return out;
}

}  // namespace marrowfen::fs
