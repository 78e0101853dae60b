// Sequences of filesystem operations (mkdir, touch, open, write, truncate,
// seek, read, close, rm, ls, and creation and opening by id) decoded from the input and
// applied both to a FileSystem and to a reference model made of a map and
// strings. After every step the results and errors must agree, and so must
// every inode: its parent, depth, name, children, contents and lock word.
// At the end the paths, the lookups by path and the debug text are compared
// too, and once every handle is gone every lock word must be back at 0.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fs/file_handle.h"
#include "fs/filesystem.h"
#include "fuzz_input.h"

namespace {

using namespace marrowfen::fs;
using Kind = IoError::Kind;

// ---------------------------------------------------------------------------
// The model: every inode in a map by id, contents as strings.

struct MNode {
  InodeId parent = 0;
  size_t depth = 0;
  std::string name;
  bool dir = false;
  std::vector<InodeId> children;  // directories, in creation order
  std::string data;               // files
  int32_t flag = 0;               // files: 0 free, n readers, -1 a writer
};

struct MHandle {
  InodeId id = 0;
  bool read = false;
  bool write = false;
  size_t offset = 0;
  bool open = true;
};

// A value, or the error that took its place.
template <class T>
struct Expect {
  Expect(T v) : value(std::move(v)) {}   // NOLINT
  Expect(IoError e) : error(e) {}        // NOLINT
  Expect(Kind k) : error(IoError(k)) {}  // NOLINT
  std::optional<IoError> error;
  T value{};
};

using Names = std::vector<std::string>;

bool is_separator(char c) { return c == '/' || c == '\\'; }

class Model {
 public:
  static MNode node(InodeId parent, size_t depth, const std::string& name, bool dir) {
    MNode n;
    n.parent = parent;
    n.depth = depth;
    n.name = name;
    n.dir = dir;
    return n;
  }

  Model() { nodes[0] = node(0, 0, "", true); }

  // One name in `dir`: "", "." and ".." are answered for any kind of inode.
  Expect<InodeId> child(InodeId dir, const std::string& name) const {
    const MNode& d = nodes.at(dir);
    if (name.empty() || name == ".") return dir;
    if (name == "..") return d.parent;
    if (!d.dir) return Kind::NotADirectory;
    for (InodeId c : d.children)
      if (nodes.at(c).name == name) return c;
    return Kind::InodeNotFound;
  }

  // A whole path, from the root whatever it starts with.
  Expect<InodeId> walk(const std::string& path) const {
    InodeId cur = 0;
    std::string component;
    for (size_t i = 0; i <= path.size(); ++i) {
      if (i < path.size() && !is_separator(path[i])) {
        component += path[i];
        continue;
      }
      if (component == "..") {
        cur = nodes.at(cur).parent;
      } else if (!component.empty() && component != ".") {
        Expect<InodeId> next = child(cur, component);
        if (next.error) return *next.error;
        cur = next.value;
      }
      component.clear();
    }
    return cur;
  }

  static std::pair<std::string, std::string> split(const std::string& path) {
    size_t cut = path.find_last_of("/\\");
    if (cut == std::string::npos) return {"", path};
    return {path.substr(0, cut), path.substr(cut + 1)};
  }

  Expect<InodeId> create(InodeId parent, const std::string& name, bool dir) {
    if (name.empty() || name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos)
      return Kind::ResourceAlreadyExists;
    InodeId id = next_id++;  // used up even when the creation fails below
    auto p = nodes.find(parent);
    if (p == nodes.end()) return Kind::InodeNotFound;
    if (p->second.dir)
      for (InodeId c : p->second.children)
        if (nodes.at(c).name == name) return Kind::ResourceAlreadyExists;
    if (p->second.depth + 1 > 64) return Kind::MaxRecursionDepthExceeded;
    if (!p->second.dir) return Kind::NotADirectory;
    p->second.children.push_back(id);
    nodes[id] = node(parent, p->second.depth + 1, name, dir);
    return id;
  }

  Expect<InodeId> create_at(const std::string& path, bool dir) {
    auto [parent_path, name] = split(path);
    Expect<InodeId> parent = walk(parent_path);
    if (parent.error) return *parent.error;
    return create(parent.value, name, dir);
  }

  // A new handle's share of the lock word.
  Expect<MHandle> claim(InodeId id, bool read, bool write) {
    MNode& n = nodes.at(id);
    if (n.dir) return Kind::NotAFile;
    if (write) {
      if (n.flag != 0) return Kind::ResourceCurrentInUse;
      n.flag = -1;
    } else {
      if (n.flag < 0) return Kind::ResourceCurrentInUse;
      ++n.flag;
    }
    MHandle h;
    h.id = id;
    h.read = read;
    h.write = write;
    return h;
  }

  Expect<MHandle> open(const std::string& path, bool read, bool write, bool create_missing) {
    auto [parent_path, name] = split(path);
    Expect<InodeId> parent = walk(parent_path);
    if (parent.error) return *parent.error;
    Expect<InodeId> found = child(parent.value, name);
    if (!found.error) return claim(found.value, read, write);
    if (!create_missing || *found.error != Kind::InodeNotFound) return *found.error;
    Expect<InodeId> made = create(parent.value, name, false);
    if (made.error) return *made.error;
    return claim(made.value, read, write);
  }

  Expect<MHandle> open_raw(InodeId id, bool read, bool write) {
    if (!nodes.count(id)) return Kind::InodeNotFound;
    return claim(id, read, write);
  }

  Expect<std::string> read(MHandle& h, size_t n) const {
    if (!h.open) return Kind::InvalidFileDescriptor;
    if (!h.read) return IoError::operation_not_supported("read");
    std::string out = nodes.at(h.id).data.substr(h.offset, n);
    h.offset += out.size();
    return out;
  }

  Expect<size_t> write(MHandle& h, const std::string& bytes) {
    if (!h.open) return Kind::InvalidFileDescriptor;
    if (!h.write) return IoError::operation_not_supported("write");
    std::string& data = nodes.at(h.id).data;
    if (data.size() < h.offset + bytes.size()) data.resize(h.offset + bytes.size(), '\0');
    data.replace(h.offset, bytes.size(), bytes);
    return bytes.size();
  }

  std::optional<IoError> truncate(MHandle& h, size_t length) {
    if (!h.open) return IoError(Kind::InvalidFileDescriptor);
    if (!h.write) return IoError::operation_not_supported("write");
    nodes.at(h.id).data.resize(length, '\0');
    h.offset = std::min(h.offset, length);
    return std::nullopt;
  }

  std::optional<IoError> seek(MHandle& h, SeekOrigin origin, size_t distance) const {
    if (!h.open) return IoError(Kind::InvalidFileDescriptor);
    const size_t len = nodes.at(h.id).data.size();
    const size_t max = std::numeric_limits<size_t>::max();
    size_t target = 0;
    if (origin == SeekOrigin::Start) target = distance;
    if (origin == SeekOrigin::End) target = distance > len ? 0 : len - distance;
    if (origin == SeekOrigin::Current) target = distance > max - h.offset ? max : h.offset + distance;
    h.offset = std::min(target, len);
    return std::nullopt;
  }

  std::optional<IoError> close(MHandle& h) {
    if (!h.open) return IoError(Kind::InvalidFileDescriptor);
    MNode& n = nodes.at(h.id);
    n.flag = h.write ? 0 : n.flag - 1;
    h.open = false;
    return std::nullopt;
  }

  std::optional<IoError> remove(InodeId id, bool recursive) {
    if (id == 0) return IoError(Kind::ResourceCurrentInUse);  // the root stays
    if (nodes.at(id).dir) {
      if (recursive) {
        const std::vector<InodeId> children = nodes.at(id).children;
        for (InodeId c : children)
          if (auto e = remove(c, true)) return e;
      } else if (!nodes.at(id).children.empty()) {
        return IoError(Kind::DirectoryIsNotEmpty);
      }
    }
    const MNode& n = nodes.at(id);
    if (!n.dir && n.flag != 0) return IoError(Kind::ResourceCurrentInUse);
    std::vector<InodeId>& siblings = nodes.at(n.parent).children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), id), siblings.end());
    nodes.erase(id);
    return std::nullopt;
  }

  Expect<std::pair<Names, Names>> ls(InodeId id) const {
    const MNode& n = nodes.at(id);
    if (!n.dir) return Kind::NotADirectory;
    std::pair<Names, Names> listing;
    for (InodeId c : n.children) (nodes.at(c).dir ? listing.second : listing.first).push_back(nodes.at(c).name);
    return listing;
  }

  std::string path_of(InodeId id) const {
    std::string path;
    for (; id != 0; id = nodes.at(id).parent) path = "/" + nodes.at(id).name + path;
    return path.empty() ? "/" : path;
  }

  std::map<InodeId, MNode> nodes;
  InodeId next_id = 1;
};

// ---------------------------------------------------------------------------
// Comparing the two.

std::string show(const std::optional<IoError>& e) { return e ? e->debug() : "ok"; }

template <class R>
std::optional<IoError> error_of(const R& r) {
  if (r.ok()) return std::nullopt;
  return r.error();
}

std::string show_ids(const std::vector<InodeId>& ids) {
  std::string s = "[";
  for (InodeId id : ids) s += (s.size() > 1 ? ", " : "") + std::to_string(id);
  return s + "]";
}

constexpr size_t kSlots = 4;

struct World {
  std::shared_ptr<FileSystem> fs = FileSystem::create();
  Model model;
  std::optional<FileHandle> handles[kSlots];
  std::optional<MHandle> model_handles[kSlots];
  std::string trace;  // the steps so far, for failure reports

  void check_same_error(const std::optional<IoError>& real, const std::optional<IoError>& expected) {
    FUZZ_CHECK(real == expected, trace + "\n gave " + show(real) + ", the model " + show(expected));
  }

  // Every inode of both sides, and the handles.
  void check_state() {
    FUZZ_CHECK(fs->next_inode_id() == model.next_id, trace + "\n next id " + std::to_string(fs->next_inode_id()) +
                                                         ", the model " + std::to_string(model.next_id));
    for (InodeId id = 0; id < model.next_id; ++id) {
      INodeRef real = fs->lookup(id);
      auto it = model.nodes.find(id);
      auto where = [&] { return trace + "\n inode " + std::to_string(id); };
      FUZZ_CHECK(bool(real) == (it != model.nodes.end()), where() + (real ? " exists" : " is missing"));
      if (!real) continue;
      const MNode& n = it->second;
      FUZZ_CHECK(
          real->parent == n.parent && real->depth == n.depth && real->name == n.name && real->is_directory() == n.dir,
          where() + ": parent " + std::to_string(real->parent) + " depth " + std::to_string(real->depth) + " name " +
              fuzz::show(real->name.view()));
      auto kind = real->read();
      if (n.dir) {
        const std::vector<InodeId> children = kind.directory()->child_ids();
        FUZZ_CHECK(children == n.children,
                   where() + ": children " + show_ids(children) + ", the model " + show_ids(n.children));
      } else {
        const File& file = *kind.file();
        const std::string bytes(file.data.data.begin(), file.data.data.end());
        FUZZ_CHECK(bytes == n.data, where() + ": contents " + fuzz::show(bytes) + ", the model " + fuzz::show(n.data));
        const int32_t flag = file.lock.flag.load();
        FUZZ_CHECK(flag == n.flag,
                   where() + ": flag " + std::to_string(flag) + ", the model " + std::to_string(n.flag));
      }
    }
    for (size_t s = 0; s < kSlots; ++s) {
      auto where = [&] { return trace + "\n handle slot " + std::to_string(s); };
      FUZZ_CHECK(handles[s].has_value() == model_handles[s].has_value(), where());
      if (!handles[s]) continue;
      const FileHandle& h = *handles[s];
      const MHandle& m = *model_handles[s];
      FUZZ_CHECK(h.id().has_value() == m.open && (!m.open || *h.id() == m.id), where() + ": id");
      FUZZ_CHECK(h.offset() == m.offset,
                 where() + ": offset " + std::to_string(h.offset()) + ", the model " + std::to_string(m.offset));
    }
  }

  // What only the end of an input pays for: paths both ways, the debug text.
  void check_paths_and_debug_text() {
    for (const auto& [id, n] : model.nodes) {
      const std::string path = model.path_of(id);
      auto real_path = fs->get_path_by_inode(id);
      FUZZ_CHECK(real_path.ok() && real_path.value() == path,
                 trace + "\n path of " + std::to_string(id) + ": " +
                     (real_path.ok() ? real_path.value() : real_path.error().debug()) + ", the model " + path);
      auto found = fs->get_inode_by_path_raw(path);
      FUZZ_CHECK(found.ok() && found.value() == id, trace + "\n looking up " + path);
    }
    FUZZ_CHECK(fs->debug_string() == expected_debug_text(),
               trace + "\n debug text " + fs->debug_string() + "\n the model " + expected_debug_text());
  }

  std::string expected_debug_text() const {
    auto list = [](auto begin, auto end) {
      std::string s = "[";
      for (auto it = begin; it != end; ++it) s += (s.size() > 1 ? ", " : "") + std::to_string(*it);
      return s + "]";
    };
    std::string out = "FileSystem { inodes: {";
    for (const auto& [id, n] : model.nodes) {
      if (id != model.nodes.begin()->first) out += ", ";
      out += std::to_string(id) + ": INode { id: " + std::to_string(id) + ", parent: " + std::to_string(n.parent) +
             ", depth: " + std::to_string(n.depth) + ", name: \"" + n.name + "\", data: RwLock { data: ";
      if (n.dir) {
        out += "Directory { children: " + list(n.children.begin(), n.children.end()) + " }";
      } else {
        std::vector<int> bytes;
        for (unsigned char c : n.data) bytes.push_back(c);
        out += "File { data: FileData { data: " + list(bytes.begin(), bytes.end()) +
               " }, lock: FileLock { flag: " + std::to_string(n.flag) + " } }";
      }
      out += ", poisoned: false, .. } }";
    }
    return out + "}, next_inode_id: " + std::to_string(model.next_id) + " }";
  }

  // Destroying an open handle closes it.
  void drop(size_t s) {
    handles[s].reset();
    if (model_handles[s] && model_handles[s]->open) (void)model.close(*model_handles[s]);
    model_handles[s].reset();
  }
};

// ---------------------------------------------------------------------------
// Decoding the steps.

// Names: the three special ones, one of exactly twelve bytes (the most kept
// inline) and one of thirteen, multi-byte ones, and enough plain ones to
// fill a directory's name index well past its first size. None needs
// escaping in the debug text.
std::string name_arg(fuzz::Input& in) {
  static constexpr std::string_view kSpecial[] = {
      ".", "..", "", "twelve_bytes", "thirteen_byte", "\xc3\xa9t\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac",
  };
  const uint8_t b = in.byte();
  if (b >= 0xF0) return std::string(kSpecial[b % std::size(kSpecial)]);
  std::string name(1, static_cast<char>('a' + b % 26));
  if (b >= 26) name += static_cast<char>('0' + b / 26);  // a..z, then a1..z9
  return name;
}

constexpr std::string_view kModes[] = {"r", "w", "rw", "wr", "", "rr", "x", "R"};

std::string path_arg(fuzz::Input& in, const Model& m) {
  const uint8_t how = in.byte();
  const char sep = how & 0x40 ? '\\' : '/';
  std::string path;
  if (how & 1) {  // below a node that exists: one by position, or the newest
    auto it = std::next(m.nodes.begin(), static_cast<std::ptrdiff_t>(in.below(m.nodes.size())));
    if ((how & 6) == 6) it = std::prev(m.nodes.end());
    path = m.path_of(it->first);
    if (sep == '\\') std::replace(path.begin(), path.end(), '/', '\\');
  }
  for (size_t k = (how >> 3) % 3; k > 0; --k) {
    path += sep;
    path += name_arg(in);
  }
  if (how & 0x80) path += sep;
  return path;
}

InodeId id_arg(fuzz::Input& in, const Model& m) {
  const uint8_t how = in.byte();
  if (how & 0x80) return in.below(m.next_id + 2);  // possibly removed, or never made
  return std::next(m.nodes.begin(), static_cast<std::ptrdiff_t>(in.below(m.nodes.size())))->first;
}

size_t size_arg(fuzz::Input& in) {
  const uint8_t b = in.byte();
  if (b < 200) return b % 50;
  return size_t{1} << (b % 13);
}

size_t distance_arg(fuzz::Input& in) {
  const uint8_t b = in.byte();
  if (b < 160) return b % 60;
  if (b < 200) return std::numeric_limits<size_t>::max() - (b & 7);
  return size_t{1} << (b % 20);
}

std::string bytes_arg(fuzz::Input& in) {
  const uint8_t b = in.byte();
  if (b & 1) return std::string(b, static_cast<char>('A' + b % 26));  // long, up to 255
  return in.bytes(48);
}

// A mode string: parsed by both sides, and the same verdict required.
std::optional<FileHandleType> mode_arg(fuzz::Input& in, World& w, bool& read, bool& write) {
  const std::string_view mode = in.pick(kModes);
  w.trace += " mode " + fuzz::show(mode);
  auto parsed = FileHandleType::from_str(mode);
  bool valid = true;
  read = write = false;
  for (char c : mode) {
    bool& bit = c == 'r' ? read : write;
    if ((c != 'r' && c != 'w') || bit) valid = false;
    bit = true;
  }
  w.check_same_error(error_of(parsed), valid ? std::nullopt : std::optional(IoError(Kind::UnrecognizedFileMode)));
  if (!parsed.ok()) return std::nullopt;
  FUZZ_CHECK(parsed.value().can_read() == read && parsed.value().can_write() == write, w.trace + "\n mode bits");
  return parsed.value();
}

void step(fuzz::Input& in, World& w) {
  Model& m = w.model;
  // The last four byte values are the bulk steps, which take a directory
  // through the growth and the shrinking of its child list and name index;
  // the one before them truncates (added last, so that the kept corpora
  // keep their meaning but for that byte).
  const uint8_t b = in.byte();
  const uint8_t op = b >= 252 ? 12 + b % 2 : b == 251 ? 14 : b % 12;
  const size_t slot = in.below(kSlots);
  switch (op) {
    case 0:
    case 1: {
      const bool dir = op == 0;
      const std::string path = path_arg(in, m);
      w.trace += std::string(dir ? "\nmkdir " : "\ntouch ") + fuzz::show(path);
      auto real = dir ? w.fs->mkdir(path) : w.fs->touch(path);
      w.check_same_error(error_of(real), m.create_at(path, dir).error);
      break;
    }
    case 2:
    case 11: {
      std::string path;
      InodeId id = 0;
      bool create = false;
      if (op == 2) {
        path = path_arg(in, m);
        create = in.byte() & 1;
        w.trace += "\nopen " + fuzz::show(path) + (create ? " creating" : "") + " into " + std::to_string(slot);
      } else {
        id = id_arg(in, m);
        w.trace += "\nopen_raw " + std::to_string(id) + " into " + std::to_string(slot);
      }
      bool read = false, write = false;
      std::optional<FileHandleType> mode = mode_arg(in, w, read, write);
      if (!mode) break;
      w.drop(slot);
      auto real = op == 2 ? FileSystem::open(w.fs, path, *mode, create) : FileSystem::open_raw(w.fs, id, *mode);
      Expect<MHandle> expected = op == 2 ? m.open(path, read, write, create) : m.open_raw(id, read, write);
      w.check_same_error(error_of(real), expected.error);
      if (real.ok()) {
        w.handles[slot].emplace(std::move(real).value());
        w.model_handles[slot] = expected.value;
      }
      break;
    }
    case 3: {
      const std::string bytes = bytes_arg(in);
      w.trace += "\nwrite " + std::to_string(bytes.size()) + " bytes to " + std::to_string(slot);
      if (!w.handles[slot]) break;
      auto real = w.handles[slot]->write(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
      Expect<size_t> expected = m.write(*w.model_handles[slot], bytes);
      w.check_same_error(error_of(real), expected.error);
      if (real.ok()) FUZZ_CHECK(real.value() == expected.value, w.trace + "\n wrote " + std::to_string(real.value()));
      break;
    }
    case 14: {
      const size_t length = size_arg(in);
      w.trace += "\ntruncate " + std::to_string(slot) + " to " + std::to_string(length);
      if (!w.handles[slot]) break;
      auto real = w.handles[slot]->truncate(length);
      w.check_same_error(error_of(real), m.truncate(*w.model_handles[slot], length));
      if (real.ok())
        FUZZ_CHECK(w.handles[slot]->offset() == w.model_handles[slot]->offset, w.trace + "\n offsets differ");
      break;
    }
    case 4: {
      const auto origin = static_cast<SeekOrigin>(in.below(3));
      const size_t distance = distance_arg(in);
      w.trace += "\nseek " + std::to_string(static_cast<int>(origin)) + " " + std::to_string(distance) + " on " +
                 std::to_string(slot);
      if (!w.handles[slot]) break;
      auto real = w.handles[slot]->seek(origin, distance);
      w.check_same_error(error_of(real), m.seek(*w.model_handles[slot], origin, distance));
      break;
    }
    case 5: {
      const size_t n = size_arg(in);
      w.trace += "\nread " + std::to_string(n) + " from " + std::to_string(slot);
      if (!w.handles[slot]) break;
      // Bytes past what is read must stay as they were.
      std::vector<uint8_t> buffer(n, 0xA5);
      auto real = w.handles[slot]->read(buffer);
      Expect<std::string> expected = m.read(*w.model_handles[slot], n);
      w.check_same_error(error_of(real), expected.error);
      if (!real.ok()) break;
      const std::string got(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(real.value()));
      FUZZ_CHECK(got == expected.value,
                 w.trace + "\n read " + fuzz::show(got) + ", the model " + fuzz::show(expected.value));
      FUZZ_CHECK(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(real.value()), buffer.end(),
                             [](uint8_t b) { return b == 0xA5; }),
                 w.trace + "\n the read wrote past what it returned");
      break;
    }
    case 6: {
      w.trace += "\nclose " + std::to_string(slot);
      if (!w.handles[slot]) break;
      auto real = w.handles[slot]->close();
      w.check_same_error(error_of(real), m.close(*w.model_handles[slot]));
      break;
    }
    case 7: {
      const std::string path = path_arg(in, m);
      const bool recursive = in.byte() & 1;
      w.trace += "\nrm " + fuzz::show(path) + (recursive ? " recursive" : "");
      auto real = w.fs->rm(path, recursive);
      Expect<InodeId> target = m.walk(path);
      w.check_same_error(error_of(real), target.error ? target.error : m.remove(target.value, recursive));
      break;
    }
    case 8: {
      const std::string path = path_arg(in, m);
      w.trace += "\nls " + fuzz::show(path);
      Expect<InodeId> target = m.walk(path);
      auto real_target = w.fs->get_inode_by_path_raw(path);
      w.check_same_error(error_of(real_target), target.error);
      if (!real_target.ok()) break;
      FUZZ_CHECK(real_target.value() == target.value,
                 w.trace + "\n resolved to " + std::to_string(real_target.value()));
      auto real = w.fs->ls_raw(real_target.value());
      auto expected = m.ls(target.value);
      w.check_same_error(error_of(real), expected.error);
      if (real.ok())
        FUZZ_CHECK(real.value().files == expected.value.first && real.value().directories == expected.value.second,
                   w.trace + "\n listings differ");
      break;
    }
    case 9:
      w.trace += "\ndrop " + std::to_string(slot);
      w.drop(slot);
      break;
    case 10: {
      const InodeId parent = id_arg(in, m);
      std::string name = name_arg(in);
      if (in.byte() & 1) name += in.byte() & 1 ? "/x" : "\\x";
      const bool dir = in.byte() & 1;
      w.trace += "\ncreate_inode " + std::to_string(parent) + " " + fuzz::show(name) + (dir ? " dir" : " file");
      auto real = w.fs->create_inode(parent, name, dir ? new_directory() : new_file());
      Expect<InodeId> expected = m.create(parent, name, dir);
      w.check_same_error(error_of(real), expected.error);
      if (real.ok()) FUZZ_CHECK(real.value() == expected.value, w.trace + "\n made " + std::to_string(real.value()));
      break;
    }
    case 12: {  // fill: up to 40 entries in one directory
      const std::string dir = path_arg(in, m);
      const size_t count = 1 + in.below(40);
      const bool some_dirs = in.byte() & 1;
      w.trace += "\nfill " + fuzz::show(dir) + " with " + std::to_string(count);
      for (size_t i = 0; i < count; ++i) {
        const std::string path = dir + "/n" + std::to_string(i);
        const bool as_dir = some_dirs && i % 2;
        auto real = as_dir ? w.fs->mkdir(path) : w.fs->touch(path);
        w.check_same_error(error_of(real), m.create_at(path, as_dir).error);
      }
      break;
    }
    case 13: {  // thin: remove every first, second or third entry of a directory
      const std::string dir = path_arg(in, m);
      const size_t every = 1 + in.below(3);
      w.trace += "\nthin " + fuzz::show(dir) + " every " + std::to_string(every);
      Expect<InodeId> target = m.walk(dir);
      if (target.error || !m.nodes.at(target.value).dir) break;
      std::vector<std::string> names;
      const std::vector<InodeId>& children = m.nodes.at(target.value).children;
      for (size_t i = 0; i < children.size(); i += every) names.push_back(m.nodes.at(children[i]).name);
      for (const std::string& name : names) {
        const std::string path = dir + "/" + name;
        auto real = w.fs->rm(path, true);
        Expect<InodeId> child = m.walk(path);
        w.check_same_error(error_of(real), child.error ? child.error : m.remove(child.value, true));
      }
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  World w;
  for (int steps = 0; steps < 400 && !in.exhausted(); ++steps) {
    step(in, w);
    w.check_state();
  }
  w.check_paths_and_debug_text();
  for (size_t s = 0; s < kSlots; ++s) w.drop(s);
  w.trace += "\n(every handle dropped)";
  w.check_state();
  for (const auto& [id, n] : w.model.nodes) FUZZ_CHECK(n.flag == 0, w.trace + "\n flag of " + std::to_string(id));
  return 0;
}
