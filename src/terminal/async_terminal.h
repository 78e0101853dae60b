// A real shell session driven through its raw byte streams. Every operation
// blocks until it is done; nothing is interpreted or buffered on the way.
// Implementations guard their own state and hold no lock while they block:
// operations may come from several threads at once (a read of one stream
// while another thread writes or closes), and callers may run them without
// any lock of their own language runtime.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"

namespace marrowfen::terminal {

class AsyncTerminal {
 public:
  virtual ~AsyncTerminal() = default;

  // Writes every byte of `data` to the shell's standard input, in order,
  // blocking while the pipe is full. Empty data writes nothing.
  virtual Result<void, std::string> write(std::string_view data) = 0;

  // One read of at most buffer.size() bytes of the shell's standard output
  // into the start of `buffer`; blocks until a byte is there or every writer
  // is gone. Returns the count stored; 0 is end of stream or an empty buffer.
  virtual Result<size_t, std::string> read_stdout(std::span<char> buffer) = 0;

  // As read_stdout, for the standard error stream.
  virtual Result<size_t, std::string> read_stderr(std::span<char> buffer) = 0;
};

}  // namespace marrowfen::terminal
