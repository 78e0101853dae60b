#include "fs/debug_text.h"

#include <charconv>

#include "base/utf8.h"
#include "fs/directory.h"
#include "fs/filesystem.h"

namespace marrowfen::fs {

namespace {

template <class T>
void append_number(std::string& out, T value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

template <class Range>
void append_list(std::string& out, const Range& values) {
  out += '[';
  bool first = true;
  for (auto v : values) {
    if (!first) out += ", ";
    first = false;
    append_number(out, v);
  }
  out += ']';
}

void append_kind(std::string& out, const INode& node) {
  if (const File* file = node.file()) {
    out += "File { data: FileData { data: ";
    append_list(out, file->data.data);
    out += " }, lock: FileLock { flag: ";
    append_number(out, file->lock.flag.load(std::memory_order_acquire));
    out += " } }";
  } else if (const Directory* dir = node.directory()) {
    out += "Directory { children: ";
    append_list(out, dir->child_ids());
    out += " }";
  } else {
    out += "Symlink { target: ";
    append_number(out, node.symlink()->target);
    out += " }";
  }
}

}  // namespace

void append_debug_quoted(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (size_t i = 0; i < s.size();) {
    Utf8Step step = decode_utf8_step(s, i);
    if (!step.valid) {  // names are UTF-8; keep any stray byte as it is
      out.append(s.substr(i, step.length));
      i += step.length;
      continue;
    }
    char32_t cp = step.code_point;
    size_t len = step.length;
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
          out += "\\u{";
          if (cp >= 0x10) out += kHex[cp >> 4];
          out += kHex[cp & 0xF];
          out += '}';
        } else {
          out.append(s.substr(i, len));
        }
    }
    i += len;
  }
  out += '"';
}

void FileSystem::append_debug(std::string& out) const {
  out += "FileSystem { inodes: {";
  bool first = true;
  for (const INodeRef& node : inodes_.snapshot()) {
    if (!first) out += ", ";
    first = false;
    append_number(out, node->id);
    out += ": INode { id: ";
    append_number(out, node->id);
    out += ", parent: ";
    append_number(out, node->parent);
    out += ", depth: ";
    append_number(out, node->depth);
    out += ", name: ";
    append_debug_quoted(out, node->name.view());
    out += ", data: RwLock { data: ";
    node->try_inspect([&](const INode* held) {
      if (held) {
        append_kind(out, *held);
      } else {
        out += "<locked>";
      }
    });
    out += node->is_poisoned() ? ", poisoned: true, .. } }" : ", poisoned: false, .. } }";
  }
  out += "}, next_inode_id: ";
  append_number(out, next_inode_id());
  out += " }";
}

std::string FileSystem::debug_string() const {
  std::string out;
  append_debug(out);
  return out;
}

}  // namespace marrowfen::fs
