// The allocation-failure switch of this test program, whose operator new
// (every form of it) counts the allocations of the calling thread and can
// fail one of them: the throwing forms throw std::bad_alloc, the nothrow
// forms return null.
#pragma once

#include <cstdint>

namespace alloc_failure {

// Fails the n-th allocation of this thread from now on (n >= 1), and none
// after it.
void fail_nth_allocation(uint64_t n);

// Stops counting; true if the armed failure happened.
bool disarm();

}  // namespace alloc_failure
