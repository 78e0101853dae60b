#include "base/interrupt.h"

namespace marrowfen {

namespace {
thread_local const InterruptCheck* installed_check = nullptr;
}  // namespace

InterruptCheckScope::InterruptCheckScope(const InterruptCheck& check) noexcept : previous_(installed_check) {
  installed_check = &check;
}

InterruptCheckScope::~InterruptCheckScope() { installed_check = previous_; }

bool go_on_after_interrupt() noexcept { return installed_check ? (*installed_check)() : true; }

InterruptCheckDeferral::InterruptCheckDeferral() noexcept : held_(installed_check) { installed_check = &check_; }

InterruptCheckDeferral::~InterruptCheckDeferral() {
  installed_check = held_;
  if (interrupted_) (void)go_on_after_interrupt();
}

}  // namespace marrowfen
