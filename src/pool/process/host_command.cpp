#include "pool/process/host_command.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "base/interrupt.h"

namespace marrowfen::pool {
namespace {

// Reads both pipes until each reports end of file; the error is the first
// failure.
Result<void, Error> drain_pipes(UniqueFd& out_pipe, UniqueFd& err_pipe, std::string& out, std::string& err_text) {
  struct Stream {
    UniqueFd* fd;
    std::string* sink;
  };
  Stream streams[2] = {{&out_pipe, &out}, {&err_pipe, &err_text}};
  char chunk[65536];
  for (;;) {
    if (!out_pipe && !err_pipe) return {};
    pollfd polled[2];
    for (int i = 0; i < 2; ++i) {
      // A closed stream is left out: poll ignores negative descriptors.
      polled[i] = pollfd{*streams[i].fd ? streams[i].fd->get() : -1, POLLIN, 0};
    }
    if (::poll(polled, 2, -1) < 0) {
      if (errno != EINTR) return Error::os(errno);
      // The command runs to its end: the handlers run, the wait goes on.
      (void)go_on_after_interrupt();
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (polled[i].fd < 0 || polled[i].revents == 0) continue;
      ssize_t n = ::read(polled[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        streams[i].sink->append(chunk, static_cast<size_t>(n));
      } else if (n == 0) {
        streams[i].fd->reset();
      } else if (errno != EINTR && errno != EAGAIN) {
        return Error::os(errno);
      }
    }
  }
}

}  // namespace

Result<CommandOutput, Error> run_host_command(const std::vector<std::string>& argv) {
  MF_TRY_ASSIGN(ChildProcess child, spawn_child(argv, StdinMode::kEmpty));

  std::string out;
  std::string err_text;
  auto drained = drain_pipes(child.stdout_pipe, child.stderr_pipe, out, err_text);
  // Closing our ends first lets a child still writing see a broken pipe
  // instead of blocking forever, so the wait below always ends.
  child.stdout_pipe.reset();
  child.stderr_pipe.reset();
  auto status = wait_for_child(child.pid);
  if (!drained) return err(std::move(drained).error());
  if (!status) return err(std::move(status).error());
  return CommandOutput{status.value(), std::move(out), std::move(err_text)};
}

}  // namespace marrowfen::pool
