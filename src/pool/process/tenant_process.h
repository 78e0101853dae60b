// Starting the one process through which a tenant's code runs: the `su` of
// a session, and the shell it starts as the account.
//
// Whatever the host process has, the tenant gets only what it needs:
// - environment: PATH set to kTenantPath and the caller's TERM, LANG, LC_*
//   and TZ where set; nothing else (no tokens, no credentials, no host PATH);
// - descriptors: 0, 1 and 2 on the session's pipes, every other one closed;
// - keyrings: a new anonymous session keyring, never the caller's;
// - umask 077, so what the tenant creates is private unless it says so;
// - working directory / (the session's shell text changes into the home);
// - every signal at its default action and none blocked;
// - it dies with this process: SIGKILL as its parent-death signal, set
//   before `su` runs (and a caller that died even earlier is noticed), so an
//   owner killed with its sessions open leaves no root `su` behind. The
//   child is created on the spawn thread (spawn_thread.h), so it does not die
//   with the thread that asked for it.
// A contained tenant's process first enters what its TenantJoin names
// (pool/containment/tenant_containment.h): namespaces, group, process limit,
// filter. Its parent is still this process, as an uncontained one's.
// The program is looked up in the caller's PATH (not the tenant's).
#pragma once

#include <string>
#include <vector>

#include "base/error.h"
#include "base/result.h"
#include "pool/containment/tenant_containment.h"
#include "pool/process/child_process.h"

namespace marrowfen::pool {

inline constexpr const char* kTenantPath = "/usr/local/bin:/usr/bin:/bin";

// Starts argv as described above, standard input, output and error on new
// pipes (as spawn_child with StdinMode::kPipe). A program that cannot be
// started is reported here as its errno (an Error without context), as is a
// containment step that failed. `join` (nullptr: uncontained) must stay valid during the call.
Result<ChildProcess, Error> spawn_tenant_process(const std::vector<std::string>& argv,
                                                 const TenantJoin* join = nullptr);

// The tenant's environment ("NAME=value" entries) made from the caller's.
std::vector<std::string> tenant_environment(const char* const* caller_env);

// The paths that `program` is tried at, in order, given the caller's PATH
// (nullptr when unset), as execvp tries them.
std::vector<std::string> exec_candidates(const std::string& program, const char* path);

}  // namespace marrowfen::pool
