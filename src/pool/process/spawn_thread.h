// Where the children that must die with this process are started.
//
// A child's parent-death signal (PR_SET_PDEATHSIG) is sent when the *thread*
// that created the child ends, not when its process does. A shell started
// from a short-lived Python thread (a request handler, an executor worker)
// would then be killed when that thread returns, while its session is still
// in use. Such children are therefore created by a thread that lasts as long
// as the process: the main thread when it is the one asking (it ends only
// with the process), else the spawn thread, one thread of the process that
// never ends: started on first use, with every signal blocked, and otherwise
// asleep until there is a child to start. A program that never spawns from
// another thread so never has a thread of ours (os.fork() then has no reason
// to warn about threads). The signal fires exactly when the process ends,
// however it ends.
#pragma once

#include <functional>

#include "base/error.h"
#include "base/result.h"

namespace marrowfen::pool {

// Runs `work` with every signal blocked, on the calling thread if it is the
// main thread, else on the process's spawn thread, and returns once it has
// run. Calls from several threads take turns on the spawn thread. In a child
// made by fork(), which has no such thread, a new one is started. The error
// is a spawn thread that could not be started (`work` has not run then): its
// errno, without context. `work` must not throw.
Result<void, Error> run_on_spawn_thread(const std::function<void()>& work);

}  // namespace marrowfen::pool
