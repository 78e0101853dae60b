// The module's own writer on file descriptor 1, line by line, bypassing
// Python's sys.stdout: the "Read N bytes from file" line of every successful
// PyFileHandle.read.
//
// The line is on by default. MARROWFEN_READ_DIAGNOSTICS=0 in the environment
// when the module is first imported turns it off, for programs whose standard
// output is a protocol.
#pragma once

#include <cstddef>

namespace marrowfen::py {

// Reads MARROWFEN_READ_DIAGNOSTICS; called once, when the module is made.
void configure_read_diagnostics();

// Writes the line for a read of `n` bytes, unless it is turned off. Returns
// 0, or the errno of a write that failed (the caller decides what that means).
int write_read_diagnostic(size_t n);

}  // namespace marrowfen::py
