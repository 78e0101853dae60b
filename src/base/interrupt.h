// What a blocking system call of the core does when a signal interrupts it
// (EINTR).
//
// By itself the core retries the call: it has no signal handlers of its own
// to run. A program that has some, and wants them run while the call is
// still blocked (the Python binding: Ctrl-C must reach the caller at once),
// installs a check on the calling thread for the length of the blocking
// work. On every interruption the core calls it; the check runs the handlers
// and answers whether to go on. A call that can be abandoned (a read or a
// write of a shell session) then fails; one that must finish (reaping a
// child, running a host command to its end) goes on all the same, and the
// installer reports what its handlers raised once the work is done.
#pragma once

#include "base/function_ref.h"

namespace marrowfen {

// True to retry the interrupted call, false to give it up. Called on the
// thread of the blocking call; it must not throw.
using InterruptCheck = FunctionRef<bool()>;

// Installs `check` on this thread until the scope ends. Scopes nest.
class InterruptCheckScope {
 public:
  explicit InterruptCheckScope(const InterruptCheck& check) noexcept;
  ~InterruptCheckScope();
  InterruptCheckScope(const InterruptCheckScope&) = delete;
  InterruptCheckScope& operator=(const InterruptCheckScope&) = delete;

 private:
  const InterruptCheck* previous_;
};

// Called by a blocking call that was interrupted: runs the installed check
// and returns its answer, or true (retry) when none is installed.
bool go_on_after_interrupt() noexcept;

// Holds the installed check back for the length of the scope: interrupted
// calls are retried at once, and if there was any, the check runs once when
// the scope ends. For blocking work done while holding one of our locks: the
// check runs code of the embedding program (Python signal handlers, and any
// garbage collection they set off), which may need that very lock. Declare
// it before the lock's guard, so that it ends after the guard.
class InterruptCheckDeferral {
 public:
  InterruptCheckDeferral() noexcept;
  ~InterruptCheckDeferral();
  InterruptCheckDeferral(const InterruptCheckDeferral&) = delete;
  InterruptCheckDeferral& operator=(const InterruptCheckDeferral&) = delete;

 private:
  // The check installed meanwhile: it notes the interruption and retries.
  struct Note {
    bool* interrupted;
    bool operator()() const noexcept {
      *interrupted = true;
      return true;
    }
  };

  const InterruptCheck* held_;
  bool interrupted_ = false;
  Note note_{&interrupted_};
  InterruptCheck check_{note_};
};

}  // namespace marrowfen
