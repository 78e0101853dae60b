// The holder: a small process of ours that keeps a tenant's namespaces
// alive from hand-out to release, and is the init of its PID namespace.
//
// It is made with clone into new namespaces (PID, mount, IPC and UTS when
// isolated; network when the network is off), sets up the tenant's mounts
// and loopback, then only reaps the orphans of its namespace until it is
// killed. Killing it ends, in one step, every process of its PID namespace.
//
// It runs in this process's memory (CLONE_VM: copying the page tables of an
// interpreter's heap would cost more than everything else here, and a
// forked copy would pin a snapshot of that heap for its whole life), on a
// stack of its own, with raw system calls only and every signal blocked.
// So it has nothing of ours to leak: its descriptors are closed at once,
// and its /proc entries are hidden from the tenant (hidepid), since its
// command line is this process's. It dies with the thread that made it
// (the spawn thread, spawn_thread.h) and is not a SIGCHLD child, so no
// wait() of the embedding program can reap it from under us.
//
// Mounts of an isolated tenant, in its own mount namespace (every mount
// made private first, so nothing reaches the host):
//   /tmp, /var/tmp, /dev/shm, /run/lock  tmpfs of `tmp_size` bytes each
//   /dev/mqueue                          mqueue of its IPC namespace
//   /dev/pts, /dev/ptmx                  a devpts instance of its own
//   /proc                                its PID namespace, hidepid=invisible
//   the home, at its usual path          the host's home directory, moved
//                                        back after the tmpfs hid it
// A path the host lacks (/run/lock, /dev/mqueue) is left out.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/result.h"
#include "base/unique_fd.h"

namespace marrowfen::pool {

struct HolderRequest {
  bool isolate = false;      // PID, mount, IPC, UTS namespaces and the mounts
  bool network_off = false;  // a network namespace with loopback alone
  uint64_t tmp_size = 0;     // bytes per tmpfs
  std::string home;          // the tenant's home (canonical)
};

// One namespace of the holder, opened for setns.
struct NamespaceFd {
  int type;  // CLONE_NEW*
  UniqueFd fd;
};

class NamespaceHolder {
 public:
  // Starts the holder and waits until its namespaces are ready (a few
  // milliseconds; at most kHolderStartTimeout). The error says what failed.
  static Result<std::unique_ptr<NamespaceHolder>, Error> start(const HolderRequest& request);
  NamespaceHolder(const NamespaceHolder&) = delete;
  NamespaceHolder& operator=(const NamespaceHolder&) = delete;
  // Ends the holder if end() has not.
  ~NamespaceHolder();

  // Kills the holder (and so every process of its PID namespace) and reaps
  // it. Idempotent. The error is what the release warns of.
  Result<void, Error> end();

  pid_t pid() const { return pid_; }
  // Its namespaces, in the order a joining process enters them (the mount
  // namespace last: the others are opened by path before it changes).
  const std::vector<NamespaceFd>& namespaces() const { return namespaces_; }

  struct Plan;

 private:
  NamespaceHolder() = default;

  pid_t pid_ = -1;
  std::vector<NamespaceFd> namespaces_;
  std::unique_ptr<Plan> plan_;  // read by the holder: lives as long as it
  std::unique_ptr<char[]> stack_;
};

}  // namespace marrowfen::pool
