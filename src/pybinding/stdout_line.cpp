#include "pybinding/stdout_line.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/write_all.h"

namespace marrowfen::py {

namespace {

std::atomic<bool> g_read_diagnostics{true};

}  // namespace

void configure_read_diagnostics() {
  const char* setting = std::getenv("MARROWFEN_READ_DIAGNOSTICS");
  g_read_diagnostics.store(!(setting && std::strcmp(setting, "0") == 0), std::memory_order_relaxed);
}

int write_read_diagnostic(size_t n) {
  if (!g_read_diagnostics.load(std::memory_order_relaxed)) return 0;
  // Built on the stack: the line needs no memory that could run out.
  static constexpr char kHead[] = "Read ";
  static constexpr char kTail[] = " bytes from file\n";
  char line[sizeof kHead + 20 + sizeof kTail];
  char* end = std::copy(kHead, kHead + sizeof kHead - 1, line);
  end = std::to_chars(end, line + sizeof line, n).ptr;
  end = std::copy(kTail, kTail + sizeof kTail - 1, end);
  // Lines from several threads never interleave.
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  return write_all(1, std::string_view(line, static_cast<size_t>(end - line)));
}

}  // namespace marrowfen::py
