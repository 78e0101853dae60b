#include "pool/cleanup/sysv_ipc_sweep.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <optional>
#include <sstream>

namespace marrowfen::pool {
namespace {

// The owner and creator of an object, as the kernel has them now.
using StatFn = int (*)(int id, ipc_perm& perm);
using RemoveFn = int (*)(int id);

int stat_shm(int id, ipc_perm& perm) {
  shmid_ds ds{};
  if (::shmctl(id, IPC_STAT, &ds) != 0) return errno;
  perm = ds.shm_perm;
  return 0;
}
int stat_msg(int id, ipc_perm& perm) {
  msqid_ds ds{};
  if (::msgctl(id, IPC_STAT, &ds) != 0) return errno;
  perm = ds.msg_perm;
  return 0;
}
int stat_sem(int id, ipc_perm& perm) {
  semid_ds ds{};
  if (::semctl(id, 0, IPC_STAT, &ds) != 0) return errno;
  perm = ds.sem_perm;
  return 0;
}
int remove_shm(int id) { return ::shmctl(id, IPC_RMID, nullptr) == 0 ? 0 : errno; }
int remove_msg(int id) { return ::msgctl(id, IPC_RMID, nullptr) == 0 ? 0 : errno; }
int remove_sem(int id) { return ::semctl(id, 0, IPC_RMID) == 0 ? 0 : errno; }

struct IpcKind {
  const char* table;      // file under /proc/sysvipc
  const char* id_column;  // its id column
  const char* noun;       // for problem texts
  StatFn stat;
  RemoveFn remove;
};

constexpr IpcKind kKinds[] = {
    {"shm", "shmid", "shared memory segment", stat_shm, remove_shm},
    {"msg", "msqid", "message queue", stat_msg, remove_msg},
    {"sem", "semid", "semaphore set", stat_sem, remove_sem},
};

template <class Number>
std::optional<Number> parse_number(std::string_view text) {
  Number value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::vector<std::string_view> fields_of(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

// Where `name` is among the header's fields.
std::optional<size_t> column(const std::vector<std::string_view>& header, std::string_view name) {
  for (size_t i = 0; i < header.size(); ++i) {
    if (header[i] == name) return i;
  }
  return std::nullopt;
}

}  // namespace

std::vector<IpcObject> parse_sysvipc_table(std::string_view text, std::string_view id_column) {
  std::vector<IpcObject> objects;
  size_t line_end = text.find('\n');
  auto header = fields_of(text.substr(0, line_end));
  auto id_at = column(header, id_column);
  auto uid_at = column(header, "uid");
  auto cuid_at = column(header, "cuid");
  if (!id_at || !uid_at || !cuid_at || line_end == std::string_view::npos) return objects;
  size_t needed = std::max({*id_at, *uid_at, *cuid_at}) + 1;
  for (size_t start = line_end + 1; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    auto row = fields_of(text.substr(start, end - start));
    start = end + 1;
    if (row.size() < needed) continue;
    auto id = parse_number<int>(row[*id_at]);
    auto uid = parse_number<uint32_t>(row[*uid_at]);
    auto cuid = parse_number<uint32_t>(row[*cuid_at]);
    if (id && uid && cuid) objects.push_back(IpcObject{*id, *uid, *cuid});
  }
  return objects;
}

std::vector<Error> sweep_sysv_ipc(uint32_t uid, const std::string& proc_dir) {
  std::vector<Error> problems;
  for (const IpcKind& kind : kKinds) {
    std::ifstream file(proc_dir + "/" + kind.table);
    if (!file) continue;  // a kernel without System V IPC
    std::stringstream text;
    text << file.rdbuf();
    for (const IpcObject& object : parse_sysvipc_table(text.str(), kind.id_column)) {
      if (object.uid != uid && object.cuid != uid) continue;
      // The id could have been reused since the table was read.
      ipc_perm perm{};
      int e = kind.stat(object.id, perm);
      if (e == 0 && perm.uid != uid && perm.cuid != uid) continue;
      if (e == 0) e = kind.remove(object.id);
      // Gone meanwhile: nothing left to do.
      if (e == 0 || e == EINVAL || e == EIDRM) continue;
      problems.push_back(Error::os(e, std::string(kind.noun) + " " + std::to_string(object.id)));
    }
  }
  return problems;
}

}  // namespace marrowfen::pool
