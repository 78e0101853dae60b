#include "fs/file_handle.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "base/panic.h"
#include "base/write_all.h"

namespace marrowfen::fs {

IoResult<FileHandle> FileHandle::create(std::shared_ptr<FileSystem> fs, InodeId id,
                                        FileHandleType type) {
  MF_TRY_ASSIGN(INodeRef node, fs->resolve(id));
  {
    auto kind = node->data.read();
    const auto* file = std::get_if<File>(&*kind);
    if (!file) return IoError::NotAFile;
    std::atomic<int32_t>& flag = file->lock.flag;
    if (type.can_write()) {
      int32_t expected = FileLock::UNLOCKED;
      if (!flag.compare_exchange_strong(expected, FileLock::WRITE_EXCLUSIVE,
                                        std::memory_order_acq_rel))
        return IoError::ResourceCurrentInUse;
    } else {
      // Readers (and the empty mode) share the file; opens never wait.
      int32_t current = flag.load(std::memory_order_acquire);
      do {
        if (current < 0) return IoError::ResourceCurrentInUse;
      } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel));
    }
  }
  return FileHandle(id, type, std::move(fs));
}

FileHandle::FileHandle(FileHandle&& o) noexcept
    : id_(std::exchange(o.id_, std::nullopt)),
      type_(o.type_),
      fs_(std::move(o.fs_)),
      offset_(o.offset_) {}

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

IoResult<INodeRef> FileHandle::open_inode() const {
  if (!id_) return IoError::InvalidFileDescriptor;
  return fs_->resolve(*id_);
}

IoResult<INodeRef> FileHandle::inode_to_read() const {
  if (!id_) return IoError::InvalidFileDescriptor;
  if (!type_.can_read()) return IoError::operation_not_supported("read");
  return open_inode();
}

IoResult<size_t> FileHandle::readable() const {
  MF_TRY_ASSIGN(INodeRef node, inode_to_read());
  auto kind = node->data.read();
  const auto* file = std::get_if<File>(&*kind);
  if (!file) return IoError::NotAFile;
  return file->data.data.size() - offset_;
}

IoResult<size_t> FileHandle::peek(std::span<uint8_t> buffer) const {
  MF_TRY_ASSIGN(INodeRef node, inode_to_read());
  auto kind = node->data.read();
  const auto* file = std::get_if<File>(&*kind);
  if (!file) return IoError::NotAFile;
  const auto& bytes = file->data.data;
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
  MF_TRY_ASSIGN(INodeRef node, open_inode());
  auto kind = node->data.write();
  auto* file = std::get_if<File>(&*kind);
  if (!file) return IoError::NotAFile;
  auto& data = file->data.data;
  // Lengthening is the only step that can fail (for want of memory), and it
  // comes before any byte is copied.
  size_t end = offset_ + bytes.size();
  if (data.size() < end) data.resize_zeroed(end);
  if (!bytes.empty()) std::memcpy(data.data() + offset_, bytes.data(), bytes.size());
  return bytes.size();
}

IoStatus FileHandle::seek(SeekOrigin origin, size_t distance) {
  if (!id_) return IoError::InvalidFileDescriptor;
  MF_TRY_ASSIGN(INodeRef node, open_inode());
  auto kind = node->data.read();
  const auto* file = std::get_if<File>(&*kind);
  if (!file) return IoError::NotAFile;
  size_t len = file->data.data.size();
  size_t target = 0;
  switch (origin) {
    case SeekOrigin::Start: target = std::min(distance, len); break;
    case SeekOrigin::End: target = distance > len ? 0 : len - distance; break;
    case SeekOrigin::Current:
      target = distance > std::numeric_limits<size_t>::max() - offset_
                   ? std::numeric_limits<size_t>::max()
                   : offset_ + distance;
      break;
  }
  offset_ = std::min(target, len);
  return {};
}

IoStatus FileHandle::close() {
  if (!id_) return IoError::InvalidFileDescriptor;
  MF_TRY_ASSIGN(INodeRef node, open_inode());
  {
    auto kind = node->data.read();
    const auto* file = std::get_if<File>(&*kind);
    if (!file) return IoError::NotAFile;
    std::atomic<int32_t>& flag = file->lock.flag;
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
  }
  id_.reset();
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
