// Removing the System V IPC objects (shared memory segments, message queues,
// semaphore sets) that an account owns or created. They outlive every
// process, so a tenant's segment would otherwise be there for the next
// tenant of the same account to read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace marrowfen::pool {

// One row of a /proc/sysvipc table.
struct IpcObject {
  int id;
  uint32_t uid;   // owner
  uint32_t cuid;  // creator
};

// The rows of a /proc/sysvipc/{shm,msg,sem} table, whose first line names the
// columns; `id_column` is "shmid", "msqid" or "semid". Rows that do not parse
// are skipped.
std::vector<IpcObject> parse_sysvipc_table(std::string_view text, std::string_view id_column);

// Removes (IPC_RMID) every object of the three kinds whose owner or creator
// is `uid`, as listed under `proc_dir`, checking the owner again just before.
// Each object that cannot be removed is one problem.
std::vector<Error> sweep_sysv_ipc(uint32_t uid, const std::string& proc_dir = "/proc/sysvipc");

}  // namespace marrowfen::pool
